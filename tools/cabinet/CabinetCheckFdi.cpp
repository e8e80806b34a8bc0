// The cabinet check in the Windows build: the system's cabinet.dll (FDI), the
// same decompressor family expand.exe uses. FDI reads the cabinet through our
// callbacks from a region of a file and hands every file's data to a sink that
// only counts, so nothing is written, or on to the caller's CabinetSink
// (extract --expand).
#include "tools/cabinet/CabinetCheck.h"

#include <windows.h>
#include <fcntl.h>
#include <fdi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace package {
namespace {

// The name FDI is given for the cabinet (with an empty folder).
char kCabinetName[] = "cabinet";

struct Region {
    std::string path;
    uint64_t offset = 0;
    uint64_t size = 0;
};

struct CopyContext;

struct Handle {
    FILE* file = nullptr;  // null for the sink
    CopyContext* context = nullptr;  // the sink's, for its CabinetSink
    uint64_t offset = 0;
    uint64_t size = 0;  // for the sink: the file's size as the cabinet's header gives it
    uint64_t position = 0;
    bool fileAtPosition = false;  // the stream stands at position: reads in order need no seek
};

// FDI's open callback gets no context: the region of the check running on this thread.
thread_local const Region* currentRegion = nullptr;

struct CopyContext {
    CabinetCheck* result;
    CabinetSink* sink = nullptr;  // where the files' data goes; nullptr: nowhere
    std::string sinkReason;       // why the sink stopped the copy
    bool fileBegun = false;       // the sink has a file that FDI has not closed
    bool setSeen = false;
};

Handle* Of(INT_PTR hf) { return reinterpret_cast<Handle*>(hf); }

FNALLOC(Alloc) { return std::malloc(cb); }
FNFREE(Free) { std::free(pv); }

FNOPEN(Open) {
    if (currentRegion == nullptr || std::strcmp(pszFile, kCabinetName) != 0 || (oflag & (_O_WRONLY | _O_RDWR)) != 0)
        return -1;
    Handle* handle = new Handle;
    handle->file = std::fopen(currentRegion->path.c_str(), "rb");
    if (handle->file == nullptr) {
        delete handle;
        return -1;
    }
    handle->offset = currentRegion->offset;
    handle->size = currentRegion->size;
    return reinterpret_cast<INT_PTR>(handle);
}

FNREAD(Read) {
    Handle* h = Of(hf);
    if (h->file == nullptr) return static_cast<UINT>(-1);
    // Reads end at the region's end, as they would at a cabinet file's end.
    uint64_t left = h->size - h->position;
    size_t want = cb < left ? cb : static_cast<size_t>(left);
    if (want == 0) return 0;
    if (!h->fileAtPosition && _fseeki64(h->file, static_cast<__int64>(h->offset + h->position), SEEK_SET) != 0)
        return static_cast<UINT>(-1);
    size_t got = std::fread(pv, 1, want, h->file);
    h->fileAtPosition = !std::ferror(h->file);
    if (!h->fileAtPosition) return static_cast<UINT>(-1);
    h->position += got;
    return static_cast<UINT>(got);
}

FNWRITE(Write) {
    Handle* h = Of(hf);
    if (h->file != nullptr) return static_cast<UINT>(-1);
    CopyContext* context = h->context;
    if (context->sink != nullptr && !context->sink->FileData(pv, cb, context->sinkReason)) return static_cast<UINT>(-1);
    h->position += cb;
    return cb;
}

FNCLOSE(Close) {
    if (Of(hf)->file != nullptr) std::fclose(Of(hf)->file);
    delete Of(hf);
    return 0;
}

FNSEEK(Seek) {
    Handle* h = Of(hf);
    int64_t base = seektype == SEEK_SET ? 0 : seektype == SEEK_CUR ? static_cast<int64_t>(h->position)
                                                                   : static_cast<int64_t>(h->size);
    int64_t target = base + dist;
    if (target < 0 || static_cast<uint64_t>(target) > h->size || target > INT32_MAX) return -1;
    h->fileAtPosition = h->fileAtPosition && h->position == static_cast<uint64_t>(target);
    h->position = static_cast<uint64_t>(target);
    return static_cast<__LONG32>(target);
}

FNFDINOTIFY(Notify) {
    CopyContext* context = static_cast<CopyContext*>(pfdin->pv);
    switch (fdint) {
        case fdintCOPY_FILE: {
            // Every file is decompressed, into the counting sink or the caller's.
            context->result->files.push_back(
                {pfdin->psz1, static_cast<uint64_t>(static_cast<ULONG>(pfdin->cb)), CabinetNameRefusal(pfdin->psz1)});
            if (context->sink != nullptr && !context->sink->BeginFile(context->result->files.back(), context->sinkReason))
                return -1;
            context->fileBegun = context->sink != nullptr;
            Handle* handle = new Handle;
            handle->context = context;
            handle->size = context->result->files.back().size;
            return reinterpret_cast<INT_PTR>(handle);
        }
        case fdintCLOSE_FILE_INFO: {
            // Wine's FDI closes a file whose data failed as if it were whole: only its size tells.
            const bool complete = Of(pfdin->hf)->position == Of(pfdin->hf)->size;
            Close(pfdin->hf);
            context->fileBegun = false;
            return context->sink == nullptr || context->sink->EndFile(complete, context->sinkReason) ? TRUE : -1;
        }
        case fdintPARTIAL_FILE:
        case fdintNEXT_CABINET:
            context->setSeen = true;
            return -1;
        default:
            return 0;
    }
}

std::string Describe(int error) {
    switch (error) {
        case FDIERROR_CABINET_NOT_FOUND: return "cannot be opened";
        case FDIERROR_NOT_A_CABINET: return "not a cabinet (no MSCF signature)";
        case FDIERROR_UNKNOWN_CABINET_VERSION: return "unknown cabinet format version";
        case FDIERROR_CORRUPT_CABINET: return "damaged (a checksum or the data does not match, or it is cut off)";
        case FDIERROR_ALLOC_FAIL: return "out of memory";
        case FDIERROR_BAD_COMPR_TYPE: return "unknown compression type";
        case FDIERROR_MDI_FAIL: return "its compressed data cannot be decompressed (damaged)";
        case FDIERROR_RESERVE_MISMATCH: return "its reserved-space sizes do not match";
        default: return "cabinet.dll error " + std::to_string(error);
    }
}

}  // namespace

CabinetCheck ReadCabinet(const std::string& path, uint64_t offset, uint64_t size, CabinetSink* sink) {
    CabinetCheck result;
    Region region{path, offset, size};
    currentRegion = &region;
    ERF erf{};
    std::unique_ptr<void, BOOL(DIAMONDAPI*)(HFDI)> owner(
        FDICreate(Alloc, Free, Open, Read, Write, Close, Seek, cpuUNKNOWN, &erf), FDIDestroy);
    HFDI fdi = owner.get();
    if (fdi == nullptr) {
        currentRegion = nullptr;
        result.reason = "cabinet.dll cannot make a decompressor: " + Describe(erf.erfOper);
        return result;
    }
    FDICABINETINFO info{};
    INT_PTR cabinet = Open(kCabinetName, _O_RDONLY | _O_BINARY, 0);
    if (cabinet == -1) {
        result.reason = "cannot be opened";
    } else {
        BOOL isCabinet = FDIIsCabinet(fdi, cabinet, &info);
        Close(cabinet);
        if (!isCabinet)
            result.reason = Describe(FDIERROR_NOT_A_CABINET);
        else
            result.reason = CabinetFrameProblem(static_cast<ULONG>(info.cbCabinet), size, info.hasprev || info.hasnext);
        if (result.reason.empty() && info.cFiles == 0) result.reason = "it holds no files";
    }
    if (result.reason.empty()) {
        CopyContext context{&result, sink};
        char folder[] = "";
        if (!FDICopy(fdi, kCabinetName, folder, 0, Notify, nullptr, &context)) {
            result.reason = !context.sinkReason.empty() ? context.sinkReason
                            : context.setSeen          ? CabinetFrameProblem(size, size, true)
                                                       : Describe(erf.erfOper);
            // FDI gives up inside a file without closing it through us: the sink's part stays unfinished.
            if (context.fileBegun) sink->EndFile(false, result.reason);
        } else if (result.files.size() != info.cFiles)
            result.reason = "its header lists " + std::to_string(info.cFiles) + " files but " +
                            std::to_string(result.files.size()) + " could be expanded";
        result.ok = result.reason.empty();
    }
    currentRegion = nullptr;
    return result;
}

}  // namespace package
