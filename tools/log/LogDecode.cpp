// Reading a log's bytes: UTF-16LE (or a UTF-16BE or UTF-8 copy) into lines of
// UTF-8, the byte-order marks and damage noticed on the way, and why a file
// is not a log it can read.
#include "tools/log/LogTypes.h"

#include <algorithm>

namespace unpacklog {
namespace {

const char kFormat[] = "[pid]YYYY-MM-DD HH:MM:SS  [Class::Method] message (Last=n)";

}  // namespace

bool LogText::Next(std::string& line) {
    if (!detected_) Detect();
    DetectAtLineStart();
    line.clear();
    size_t units = 0;
    bool any = false;
    for (;;) {
        uint32_t c = 0;
        uint16_t unit = 0;
        const bool got = encoding == Encoding::Utf8 ? NextCodePoint(c) : NextUnit(unit);
        if (encoding != Encoding::Utf8) c = unit;
        if (!got) {
            FlushHighSurrogate(line);
            if (any && !bounded_) cutMidLine = true;
            return any;
        }
        if (!any && std::find(stretches.begin(), stretches.end(), encoding) == stretches.end())
            stretches.push_back(encoding);
        any = true;
        if (c == u'\n') {
            FlushHighSurrogate(line);
            ++endedLines;
            return true;
        }
        if (c == u'\r') continue;
        if (++units > kMaxLineUnits) {
            if (units == kMaxLineUnits + 1) ++overlongLines;
            continue;
        }
        if (encoding == Encoding::Utf8)
            AppendCodePoint(line, c == 0 ? 0xFFFD : c);
        else
            AppendUnit(line, unit);
    }
}

// The unpacker writes UTF-16LE without a byte-order mark. A copy that was
// converted (by `upkpack log --text`, an editor, a mail program) is UTF-8 or
// UTF-16BE, with or without a mark. Without one, the zero bytes of the first
// chunk tell: none in UTF-8; in UTF-16, the high bytes of ASCII text are
// zero, at odd offsets in little-endian and at even ones in big-endian.
void LogText::Detect() {
    detected_ = true;
    in_.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
    filled_ = static_cast<size_t>(in_.gcount());
    const auto* b = reinterpret_cast<const uint8_t*>(buffer_.data());
    if (filled_ >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        position_ = 2;
    } else if (filled_ >= 2 && b[0] == 0xFE && b[1] == 0xFF) {
        encoding = Encoding::Utf16Be;
        position_ = 2;
    } else if (filled_ >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        encoding = Encoding::Utf8;
        position_ = 3;
    } else {
        size_t zeros[2] = {0, 0};
        for (size_t i = 0; i < filled_; ++i) zeros[i % 2] += b[i] == 0 ? 1 : 0;
        if (filled_ > 0 && zeros[0] + zeros[1] == 0)
            encoding = Encoding::Utf8;
        else if (zeros[0] > zeros[1])
            encoding = Encoding::Utf16Be;
    }
    byteOrderMark = position_ != 0;
    bytesRead_ = position_;
}

// Every line of the log begins with "[" and a digit (or the minus of a
// negative id), which tells the encoding of the line that follows whatever
// came before it: a copy that an editor saved as UTF-8, to which the unpacker
// later appended its UTF-16LE lines, is read in both parts. Anything else at
// a line's start keeps the encoding, so junk never switches it.
void LogText::DetectAtLineStart() {
    if (!Peek(2)) return;
    const auto* b = reinterpret_cast<const uint8_t*>(buffer_.data()) + position_;
    size_t mark = 0;
    if (b[0] == 0xFF && b[1] == 0xFE) {
        UseEncoding(Encoding::Utf16Le), mark = 2;
    } else if (b[0] == 0xFE && b[1] == 0xFF) {
        UseEncoding(Encoding::Utf16Be), mark = 2;
    } else if (b[0] == 0xEF && b[1] == 0xBB && Peek(3) && b[2] == 0xBF) {
        UseEncoding(Encoding::Utf8), mark = 3;
    } else if (b[0] == '[' && b[1] == 0) {
        UseEncoding(Encoding::Utf16Le);
    } else if (b[0] == 0 && b[1] == '[') {
        UseEncoding(Encoding::Utf16Be);
    } else if (b[0] == '[' && (IsDigit(static_cast<char>(b[1])) || b[1] == '-')) {
        UseEncoding(Encoding::Utf8);
    }
    if (mark == 0 || (bound_ != 0 && bytesRead_ + mark > bound_)) return;
    byteOrderMark = true;
    position_ += mark;
    bytesRead_ += mark;
}

void LogText::UseEncoding(Encoding next) {
    if (next == encoding) return;
    encoding = next;
    highSurrogate_ = 0;
    pendingByte_ = -1;
}

bool LogText::Peek(size_t count) {
    if (filled_ - position_ >= count) return true;
    // Keep what is left of the chunk at its front and fill the rest.
    std::copy(buffer_.begin() + static_cast<std::ptrdiff_t>(position_),
              buffer_.begin() + static_cast<std::ptrdiff_t>(filled_), buffer_.begin());
    filled_ -= position_;
    position_ = 0;
    in_.read(buffer_.data() + filled_, static_cast<std::streamsize>(buffer_.size() - filled_));
    filled_ += static_cast<size_t>(in_.gcount());
    return filled_ >= count;
}

bool LogText::NextByte(uint8_t& byte) {
    if (bound_ != 0 && bytesRead_ >= bound_) {
        bounded_ = true;
        return false;
    }
    if (position_ == filled_) {
        in_.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        filled_ = static_cast<size_t>(in_.gcount());
        position_ = 0;
        if (filled_ == 0) return false;
    }
    byte = static_cast<uint8_t>(buffer_[position_++]);
    ++bytesRead_;
    return true;
}

bool LogText::NextUnit(uint16_t& unit) {
    uint8_t first = 0, second = 0;
    if (!NextByte(first)) return false;
    if (!NextByte(second)) {
        oddLength = !bounded_;
        return false;
    }
    unit = encoding == Encoding::Utf16Be ? static_cast<uint16_t>(first << 8 | second)
                                         : static_cast<uint16_t>(first | second << 8);
    return true;
}

bool LogText::NextCodePoint(uint32_t& c) {
    uint8_t lead = 0;
    if (pendingByte_ >= 0) {
        lead = static_cast<uint8_t>(pendingByte_);
        pendingByte_ = -1;
    } else if (!NextByte(lead)) {
        return false;
    }
    int extra = 0;
    uint32_t least = 0;
    if (lead < 0x80) {
        c = lead;
        return true;
    } else if ((lead & 0xE0) == 0xC0) {
        extra = 1, least = 0x80, c = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
        extra = 2, least = 0x800, c = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
        extra = 3, least = 0x10000, c = lead & 0x07;
    } else {
        c = 0xFFFD;
        return true;
    }
    for (int i = 0; i < extra; ++i) {
        uint8_t next = 0;
        if (!NextByte(next)) {
            c = 0xFFFD;
            return true;
        }
        if ((next & 0xC0) != 0x80) {
            pendingByte_ = next;  // it may begin the next character, a line end even
            c = 0xFFFD;
            return true;
        }
        c = c << 6 | (next & 0x3F);
    }
    // Overlong forms, surrogates and values past Unicode are not characters.
    if (c < least || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) c = 0xFFFD;
    return true;
}

void LogText::AppendCodePoint(std::string& out, uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | c >> 6);
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | c >> 12);
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | c >> 18);
        out += static_cast<char>(0x80 | (c >> 12 & 0x3F));
        out += static_cast<char>(0x80 | (c >> 6 & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Unpaired surrogates and NULs (junk, never in a log) become U+FFFD, so
// that the text written out is always valid UTF-8 without NULs.
void LogText::AppendUnit(std::string& out, uint16_t unit) {
    if (unit >= 0xD800 && unit <= 0xDBFF) {
        FlushHighSurrogate(out);
        highSurrogate_ = unit;
        return;
    }
    if (unit >= 0xDC00 && unit <= 0xDFFF) {
        if (highSurrogate_ == 0) {
            AppendCodePoint(out, 0xFFFD);
            return;
        }
        AppendCodePoint(out, 0x10000 + ((static_cast<uint32_t>(highSurrogate_) - 0xD800) << 10) + (unit - 0xDC00));
        highSurrogate_ = 0;
        return;
    }
    FlushHighSurrogate(out);
    AppendCodePoint(out, unit == 0 ? 0xFFFD : unit);
}

void LogText::FlushHighSurrogate(std::string& out) {
    if (highSurrogate_ != 0) AppendCodePoint(out, 0xFFFD);
    highSurrogate_ = 0;
}

std::string WhyUnreadable(const LogText& lines, const std::string& firstLine) {
    if (lines.BytesRead() == 0) return "the file is empty";
    if (lines.cutMidLine && lines.endedLines == 0 && firstLine.size() > 1 && firstLine[0] == '[' &&
        IsDigit(firstLine[1]))
        return std::string("its one line ends before it shows the log's format (") + kFormat + "): cut off?";
    static const char* const kRead[] = {"UTF-16LE", "UTF-16 big-endian", "UTF-8"};
    return std::string("no line of the log's format (") + kFormat + ") in " +
           (lines.BytesRead() > kRecognitionWindow ? "its first " + std::to_string(kRecognitionWindow / 1024) + " KiB"
                                                   : std::string("the file")) +
           " (read as " + kRead[static_cast<int>(lines.encoding)] + "): not an unpack.log";
}

}  // namespace unpacklog
