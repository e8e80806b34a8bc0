// The cabinet check with libmspack: the cabinet is read from a region of a
// file (a file to pack, or an entry inside a packaged file) through our own
// mspack_system, and every file's data is extracted into a sink that only
// counts, so that nothing is written and memory stays flat for any size, or
// that hands it on to the caller's CabinetSink (extract --expand).
#include "tools/cabinet/CabinetCheck.h"

#include <mspack.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace package {
namespace {

// The name the decompressor is given for the cabinet; the sink's is any other.
constexpr char kCabinetName[] = "cabinet";
constexpr char kSinkName[] = "sink";

struct RegionSystem {
    mspack_system base;  // first, so that the library's pointer is ours
    std::string path;
    uint64_t offset = 0;
    uint64_t size = 0;
    CabinetSink* sink = nullptr;  // where the files' data goes; nullptr: nowhere
    std::string sinkReason;       // why the sink stopped the reading
};

struct Handle {
    FILE* file = nullptr;  // null for the sink
    RegionSystem* system = nullptr;  // the sink's, for its CabinetSink
    uint64_t offset = 0;
    uint64_t size = 0;
    uint64_t position = 0;
    bool fileAtPosition = false;  // the stream stands at position: reads in order need no seek
};

// The library's last words on a failure (e.g. which block's checksum failed).
// One check runs at a time per thread; the message callback gets no context.
thread_local std::string lastMessage;

Handle* Of(mspack_file* file) { return reinterpret_cast<Handle*>(file); }

mspack_file* Open(mspack_system* self, const char* filename, int mode) {
    RegionSystem* system = reinterpret_cast<RegionSystem*>(self);
    Handle* handle = new Handle;
    if (mode == MSPACK_SYS_OPEN_WRITE && std::strcmp(filename, kSinkName) == 0) {
        handle->system = system;
        return reinterpret_cast<mspack_file*>(handle);
    }
    if (mode != MSPACK_SYS_OPEN_READ || std::strcmp(filename, kCabinetName) != 0 ||
        (handle->file = std::fopen(system->path.c_str(), "rb")) == nullptr) {
        delete handle;
        return nullptr;
    }
    handle->offset = system->offset;
    handle->size = system->size;
    return reinterpret_cast<mspack_file*>(handle);
}

void Close(mspack_file* file) {
    if (Of(file)->file != nullptr) std::fclose(Of(file)->file);
    delete Of(file);
}

int Read(mspack_file* file, void* buffer, int bytes) {
    Handle* h = Of(file);
    if (h->file == nullptr || bytes < 0) return -1;
    // Reads end at the region's end, as they would at a cabinet file's end.
    uint64_t left = h->size - h->position;
    size_t want = static_cast<uint64_t>(bytes) < left ? static_cast<size_t>(bytes) : static_cast<size_t>(left);
    if (want == 0) return 0;
    if (!h->fileAtPosition && fseeko(h->file, static_cast<off_t>(h->offset + h->position), SEEK_SET) != 0) return -1;
    size_t got = std::fread(buffer, 1, want, h->file);
    h->fileAtPosition = !std::ferror(h->file);
    if (!h->fileAtPosition) return -1;
    h->position += got;
    return static_cast<int>(got);
}

int Write(mspack_file* file, void* data, int bytes) {
    Handle* h = Of(file);
    if (h->file != nullptr || bytes < 0) return -1;
    RegionSystem* system = h->system;
    if (system->sink != nullptr && !system->sink->FileData(data, static_cast<size_t>(bytes), system->sinkReason))
        return -1;
    h->position += static_cast<uint64_t>(bytes);
    return bytes;
}

int Seek(mspack_file* file, off_t offset, int mode) {
    Handle* h = Of(file);
    int64_t base = mode == MSPACK_SYS_SEEK_START ? 0
                   : mode == MSPACK_SYS_SEEK_CUR ? static_cast<int64_t>(h->position)
                                                 : static_cast<int64_t>(h->size);
    int64_t target = base + static_cast<int64_t>(offset);
    if (target < 0 || static_cast<uint64_t>(target) > h->size) return -1;
    h->fileAtPosition = h->fileAtPosition && h->position == static_cast<uint64_t>(target);
    h->position = static_cast<uint64_t>(target);
    return 0;
}

off_t Tell(mspack_file* file) { return static_cast<off_t>(Of(file)->position); }

void Message(mspack_file*, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    lastMessage = text;
}

void* Alloc(mspack_system*, size_t bytes) { return std::malloc(bytes); }
void Free(void* pointer) { std::free(pointer); }
void Copy(void* source, void* destination, size_t bytes) { std::memmove(destination, source, bytes); }

std::string Describe(int error) {
    std::string text;
    switch (error) {
        case MSPACK_ERR_OPEN: text = "cannot be opened"; break;
        case MSPACK_ERR_READ: text = "its data cannot be read (cut off?)"; break;
        case MSPACK_ERR_SEEK: text = "it refers to data beyond its end (cut off?)"; break;
        case MSPACK_ERR_NOMEMORY: text = "out of memory"; break;
        case MSPACK_ERR_SIGNATURE: text = "not a cabinet (no MSCF signature)"; break;
        case MSPACK_ERR_DATAFORMAT: text = "malformed cabinet data"; break;
        case MSPACK_ERR_CHECKSUM: text = "a data block's checksum does not match (damaged)"; break;
        case MSPACK_ERR_DECRUNCH: text = "its compressed data cannot be decompressed (damaged)"; break;
        default: text = "libmspack error " + std::to_string(error); break;
    }
    if (!lastMessage.empty()) text += " [libmspack: " + lastMessage + "]";
    return text;
}

}  // namespace

CabinetCheck ReadCabinet(const std::string& path, uint64_t offset, uint64_t size, CabinetSink* sink) {
    CabinetCheck result;
    lastMessage.clear();
    RegionSystem system;
    system.base = mspack_system{Open, Close, Read, Write, Seek, Tell, Message, Alloc, Free, Copy, nullptr};
    system.path = path;
    system.offset = offset;
    system.size = size;
    system.sink = sink;

    std::unique_ptr<mscab_decompressor, void (*)(mscab_decompressor*)> owner(
        mspack_create_cab_decompressor(&system.base), mspack_destroy_cab_decompressor);
    mscab_decompressor* decompressor = owner.get();
    if (decompressor == nullptr) {
        result.reason = "libmspack cannot make a cabinet decompressor";
        return result;
    }
    // An expander verifies every block's checksum: no repairs, no salvage.
    decompressor->set_param(decompressor, MSCABD_PARAM_FIXMSZIP, 0);
    decompressor->set_param(decompressor, MSCABD_PARAM_SALVAGE, 0);
    mscabd_cabinet* cabinet = decompressor->open(decompressor, kCabinetName);
    if (cabinet == nullptr) {
        result.reason = Describe(decompressor->last_error(decompressor));
        return result;
    }
    for (mscabd_file* file = cabinet->files; file != nullptr; file = file->next)
        result.files.push_back({file->filename, file->length, CabinetNameRefusal(file->filename)});

    result.reason = CabinetFrameProblem(cabinet->length, size,
                                        (cabinet->flags & (MSCAB_HDR_PREVCAB | MSCAB_HDR_NEXTCAB)) != 0);
    if (result.reason.empty() && cabinet->files == nullptr) result.reason = "it holds no files";
    if (result.reason.empty()) {
        // In header order, which is folder order: each folder is decompressed once.
        size_t index = 0;
        for (mscabd_file* file = cabinet->files; file != nullptr; file = file->next, ++index) {
            lastMessage.clear();
            if (sink != nullptr && !sink->BeginFile(result.files[index], result.reason)) break;
            int error = decompressor->extract(decompressor, file, kSinkName);
            if (error != MSPACK_ERR_OK)
                result.reason = !system.sinkReason.empty()
                                    ? system.sinkReason
                                    : "file '" + std::string(file->filename) + "': " + Describe(error);
            if (sink != nullptr && !sink->EndFile(error == MSPACK_ERR_OK, result.reason)) break;
            if (!result.reason.empty()) break;
        }
        result.ok = result.reason.empty();
    }
    decompressor->close(decompressor, cabinet);
    return result;
}

}  // namespace package
