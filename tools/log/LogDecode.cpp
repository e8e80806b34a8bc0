// Reading a log's bytes: UTF-16LE into lines of UTF-8, the byte-order marks
// and damage noticed on the way, and why a file is not a log it can read.
#include "tools/log/LogTypes.h"

namespace unpacklog {
namespace {

const char kFormat[] = "[pid]YYYY-MM-DD HH:MM:SS  [Class::Method] message (Last=n)";
const char kAskForOriginal[] = "ask for the original %TEMP%\\unpack.log rather than a converted copy";

}  // namespace

bool Utf16Lines::Next(std::string& line) {
    line.clear();
    size_t units = 0;
    bool any = false;
    for (;;) {
        uint16_t unit = 0;
        if (!NextUnit(unit)) {
            FlushHighSurrogate(line);
            if (any) cutMidLine = true;
            return any;
        }
        any = true;
        if (unit == u'\n') {
            FlushHighSurrogate(line);
            ++endedLines;
            return true;
        }
        if (unit == u'\r') continue;
        if (++units > kMaxLineUnits) {
            if (units == kMaxLineUnits + 1) ++overlongLines;
            continue;
        }
        AppendUnit(line, unit);
    }
}

bool Utf16Lines::NextByte(uint8_t& byte) {
    if (position_ == filled_) {
        in_.read(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
        filled_ = static_cast<size_t>(in_.gcount());
        position_ = 0;
        if (filled_ == 0) return false;
    }
    byte = static_cast<uint8_t>(buffer_[position_++]);
    if (bytesRead_ < kRecognitionWindow && byte == 0) ++zeroBytesInWindow;
    ++bytesRead_;
    return true;
}

bool Utf16Lines::NextUnit(uint16_t& unit) {
    uint8_t low = 0, high = 0;
    if (!NextByte(low)) return false;
    if (!NextByte(high)) {
        oddLength = true;
        return false;
    }
    unit = static_cast<uint16_t>(low | high << 8);
    if (bytesRead_ == 2) {
        if (unit == 0xFEFF) {
            byteOrderMark = true;
            return NextUnit(unit);
        }
        bigEndianMark = unit == 0xFFFE;
        utf8Mark = low == 0xEF && high == 0xBB;
    }
    return true;
}

void Utf16Lines::AppendCodePoint(std::string& out, uint32_t c) {
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
void Utf16Lines::AppendUnit(std::string& out, uint16_t unit) {
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

void Utf16Lines::FlushHighSurrogate(std::string& out) {
    if (highSurrogate_ != 0) AppendCodePoint(out, 0xFFFD);
    highSurrogate_ = 0;
}

std::string WhyUnreadable(const Utf16Lines& lines, const std::string& firstLine) {
    if (lines.BytesRead() == 0) return "the file is empty";
    if (lines.bigEndianMark)
        return "it is UTF-16 big-endian (it begins with FE FF), not the UTF-16LE the unpacker writes";
    if (lines.utf8Mark)
        return std::string(
                   "it is UTF-8 text (it begins with a UTF-8 byte-order mark), not the UTF-16LE the unpacker "
                   "writes: ") +
               kAskForOriginal;
    if (lines.zeroBytesInWindow == 0)
        return std::string(
                   "it holds no zero bytes, so it is 8-bit text (UTF-8 or ASCII), not the UTF-16LE the "
                   "unpacker writes: ") +
               kAskForOriginal;
    if (lines.cutMidLine && lines.endedLines == 0 && firstLine.size() > 1 && firstLine[0] == '[' &&
        IsDigit(firstLine[1]))
        return std::string("its one line ends before it shows the log's format (") + kFormat + "): cut off?";
    return std::string("no line of the log's format (") + kFormat + ") in " +
           (lines.BytesRead() > kRecognitionWindow ? "its first " + std::to_string(kRecognitionWindow / 1024) + " KiB"
                                                   : std::string("the file")) +
           ": not an unpack.log";
}

}  // namespace unpacklog
