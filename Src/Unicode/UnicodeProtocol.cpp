#include "UnicodeProtocol.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cassert>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <string_view>

#include "Loader/MediaEntries.h"
#include "Logger/FFmpegLogger.h"
#include "Logger/FFmpegLogger.h"

namespace qm {

namespace {

constexpr size_t PrefixLength = sizeof(UnicodeNamePrefix) - 1;

// Strict: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsValidUtf8(std::string_view AText) {
    size_t i = 0;
    const size_t n = AText.size();
    while (i < n) {
        const auto lead = static_cast<unsigned char>(AText[i]);
        if (lead < 0x80) {
            ++i;
            continue;
        }
        size_t length;
        uint32_t code, least;
        if ((lead & 0xE0) == 0xC0) {
            length = 2, code = lead & 0x1F, least = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            length = 3, code = lead & 0x0F, least = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            length = 4, code = lead & 0x07, least = 0x10000;
        } else {
            return false;
        }
        if (n - i < length)
            return false;
        for (size_t k = 1; k < length; ++k) {
            const auto next = static_cast<unsigned char>(AText[i + k]);
            if ((next & 0xC0) != 0x80)
                return false;
            code = (code << 6) | (next & 0x3F);
        }
        if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

struct TAVFree {
    void operator()(uint8_t* ABuffer) const { ff::av_free(ABuffer); }
};

std::mutex GProtocolLock;
std::vector<std::string> GProtocols; // guarded by GProtocolLock

} // namespace

bool NeedsUnicodeName(const std::string& AName) {
    const size_t colon = AName.find(':');
    if (colon != std::string::npos && colon < AName.find('/')) {
        const std::string scheme = ":" + AName.substr(0, colon) + ":";
        return std::string_view(UnicodeKnownSchemes).find(scheme) == std::string_view::npos;
    }
    return !IsValidUtf8(AName);
}

bool IsUnicodeName(const std::string& AName) {
    return AName.size() > PrefixLength && AName.compare(0, PrefixLength, UnicodeNamePrefix) == 0;
}

std::string EncodeFileName(const std::string& AName) {
    return NeedsUnicodeName(AName) ? UnicodeNamePrefix + AName : AName;
}

std::string DecodeFileName(const std::string& AName) {
    return IsUnicodeName(AName) ? AName.substr(PrefixLength) : AName;
}

std::string DecodeFileName(const char* AName) {
    return AName ? DecodeFileName(std::string(AName)) : std::string();
}

void EnsureUnicodeProtocol() {
    // Registering before avformat is bound is a programming error.
    assert(ff::avio_alloc_context != nullptr);
    std::lock_guard lock(GProtocolLock);
    for (const auto& name : GProtocols)
        if (name == "unicode")
            return;
    GProtocols.emplace_back("unicode");
}

std::vector<std::string> RegisteredProtocols() {
    std::lock_guard lock(GProtocolLock);
    return GProtocols;
}

// ---- TUnicodeIO ----

void TIOContextDeleter::operator()(AVIOContext* AContext) const {
    if (FromAvioOpen) {
        ff::avio_closep(&AContext);
        return;
    }
    // avio_context_free leaves the buffer alone; it may have been replaced since allocation.
    ff::av_freep(&AContext->buffer);
    ff::avio_context_free(&AContext);
}

std::unique_ptr<TUnicodeIO> TUnicodeIO::Open(const std::string& AName, bool AWrite, int& AError) {
    AError = 0;
    const std::string path = DecodeFileName(AName);
    auto io = std::make_unique<TUnicodeIO>(TKey{});
    io->FWrite = AWrite;

    // An embedded zero would silently open a different, shorter name.
    int why = path.find('\0') == std::string::npos ? 0 : EINVAL;
    struct stat st {};
    if (why == 0) {
        const int flags = AWrite ? O_WRONLY | O_CREAT | O_TRUNC : O_RDONLY;
        do
            io->FDescriptor = ::open(path.c_str(), flags | O_CLOEXEC, 0666);
        while (io->FDescriptor < 0 && errno == EINTR);
        if (io->FDescriptor < 0 || ::fstat(io->FDescriptor, &st) != 0)
            why = errno;
        else if (S_ISDIR(st.st_mode))
            why = EISDIR;
    }
    if (why != 0) {
        LogF(nullptr, llVerbose, "Cannot open %s: %s", path.c_str(), std::strerror(why));
        AError = AVERROR(ENOENT); // reported as a missing file, whatever the reason
        return nullptr;
    }

    std::unique_ptr<uint8_t, TAVFree> buffer(static_cast<uint8_t*>(ff::av_malloc(BufferSize)));
    AVIOContext* context = buffer ? ff::avio_alloc_context(buffer.get(), BufferSize, AWrite ? 1 : 0,
                                                           io.get(), ReadPacket, WritePacket, Seek)
                                  : nullptr;
    if (!context) {
        AError = AVERROR(ENOMEM);
        return nullptr;
    }
    buffer.release();
    io->FContext.reset(context);
    // A pipe or device cannot seek; let the format library know instead of finding out.
    if (!S_ISREG(st.st_mode) && !S_ISBLK(st.st_mode))
        context->seekable = 0;
    return io;
}

TUnicodeIO::~TUnicodeIO() {
    Close();
}

int TUnicodeIO::Close() {
    int error = 0;
    if (FContext) {
        if (FContext.get_deleter().FromAvioOpen) {
            AVIOContext* context = FContext.release();
            error = ff::avio_closep(&context);
        } else {
            if (FWrite) {
                ff::avio_flush(FContext.get());
                error = FContext->error;
            }
            FContext.reset();
        }
    }
    if (FDescriptor >= 0) {
        // A writer's delayed errors (quota, network file systems) show up here.
        if (::close(FDescriptor) != 0 && FWrite && error == 0)
            error = AVERROR(errno);
        FDescriptor = -1;
    }
    return error;
}

int TUnicodeIO::ReadPacket(void* AOpaque, uint8_t* ABuffer, int ASize) {
    const int fd = static_cast<TUnicodeIO*>(AOpaque)->FDescriptor;
    ssize_t n;
    do
        n = ::read(fd, ABuffer, static_cast<size_t>(ASize));
    while (n < 0 && errno == EINTR);
    if (n < 0)
        return -1;
    return n == 0 ? AVERROR_EOF : static_cast<int>(n);
}

int TUnicodeIO::WritePacket(void* AOpaque, uint8_t* ABuffer, int ASize) {
    // The format library ignores short counts, so a partial write must not be reported as one.
    const int fd = static_cast<TUnicodeIO*>(AOpaque)->FDescriptor;
    size_t done = 0;
    const auto size = static_cast<size_t>(ASize);
    while (done < size) {
        const ssize_t n = ::write(fd, ABuffer + done, size - done);
        if (n < 0 && errno == EINTR)
            continue;
        // The system's reason goes on to the caller: a full disk is told as one.
        if (n < 0)
            return AVERROR(errno);
        if (n == 0)
            return AVERROR(EIO);
        done += static_cast<size_t>(n);
    }
    return ASize;
}

int64_t TUnicodeIO::Seek(void* AOpaque, int64_t AOffset, int AWhence) {
    const int fd = static_cast<TUnicodeIO*>(AOpaque)->FDescriptor;
    AWhence &= ~AVSEEK_FORCE;
    if (AWhence == AVSEEK_SIZE) {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))
            return -1;
        return st.st_size;
    }
    const off_t position = ::lseek(fd, static_cast<off_t>(AOffset), AWhence);
    return position < 0 ? -1 : static_cast<int64_t>(position);
}

// ---- openers ----

int OpenInputContext(AVFormatContext** AContext, const std::string& AName,
                     const AVInputFormat* AFormat, AVDictionary** AOptions,
                     std::unique_ptr<TUnicodeIO>& AIO) {
    auto failWith = [AContext](int AError) {
        ff::avformat_free_context(*AContext);
        *AContext = nullptr;
        return AError;
    };
    if (AIO)
        return failWith(AVERROR(EINVAL));
    // What the demuxer says about a file it refuses is told with the refusal.
    ForgetLibraryError();
    const std::string name = EncodeFileName(AName);
    if (!IsUnicodeName(name))
        return ff::avformat_open_input(AContext, name.c_str(), AFormat, AOptions);

    int error;
    auto io = TUnicodeIO::Open(name, false, error);
    if (!io)
        return failWith(error);
    if (!*AContext && !(*AContext = ff::avformat_alloc_context()))
        return AVERROR(ENOMEM);
    (*AContext)->pb = io->Context();
    (*AContext)->flags |= AVFMT_FLAG_CUSTOM_IO;
    // On failure this frees the context but, being custom, not its pb; io still owns that.
    error = ff::avformat_open_input(AContext, name.c_str(), AFormat, AOptions);
    if (error >= 0)
        AIO = std::move(io);
    return error;
}

int OpenOutputIO(AVFormatContext* AContext, const std::string& AName,
                 std::unique_ptr<TUnicodeIO>& AIO) {
    if (!AContext || AContext->pb || AIO)
        return AVERROR(EINVAL);
    const std::string name = EncodeFileName(AName);
    int error;
    std::unique_ptr<TUnicodeIO> io;
    if (IsUnicodeName(name)) {
        io = TUnicodeIO::Open(name, true, error);
        if (!io)
            return error;
        AContext->flags |= AVFMT_FLAG_CUSTOM_IO;
    } else {
        io = std::make_unique<TUnicodeIO>(TUnicodeIO::TKey{});
        io->FWrite = true;
        AVIOContext* context = nullptr;
        error = ff::avio_open(&context, name.c_str(), AVIO_FLAG_WRITE);
        if (error < 0)
            return error;
        io->FContext = std::unique_ptr<AVIOContext, TIOContextDeleter>(context, {true});
    }
    AContext->pb = io->Context();
    AIO = std::move(io);
    return 0;
}

// ---- TFormatInput ----

void TFormatInput::TCloser::operator()(AVFormatContext* AContext) const {
    ff::avformat_close_input(&AContext);
}

TFormatInput& TFormatInput::operator=(TFormatInput&& AOther) noexcept {
    if (this != &AOther) {
        Close();
        FIO = std::move(AOther.FIO);
        FContext = std::move(AOther.FContext);
    }
    return *this;
}

int TFormatInput::Open(const std::string& AName, const AVInputFormat* AFormat,
                       AVDictionary** AOptions, AVFormatContext* APrepared) {
    if (FContext) {
        ff::avformat_free_context(APrepared);
        return AVERROR(EINVAL);
    }
    AVFormatContext* context = APrepared;
    const int error = OpenInputContext(&context, AName, AFormat, AOptions, FIO);
    FContext.reset(context); // null on failure
    return error;
}

void TFormatInput::Close() {
    FContext.reset();
    FIO.reset();
}

// ---- TFormatOutput ----

void TFormatOutput::TFreer::operator()(AVFormatContext* AContext) const {
    ff::avformat_free_context(AContext);
}

TFormatOutput& TFormatOutput::operator=(TFormatOutput&& AOther) noexcept {
    if (this != &AOther) {
        Close();
        FName = std::move(AOther.FName);
        FIO = std::move(AOther.FIO);
        FContext = std::move(AOther.FContext);
    }
    return *this;
}

int TFormatOutput::Create(const std::string& AName, const char* AFormatName) {
    if (FContext)
        return AVERROR(EINVAL);
    FName = EncodeFileName(AName);
    AVFormatContext* context = nullptr;
    const int error =
        ff::avformat_alloc_output_context2(&context, nullptr, AFormatName, FName.c_str());
    if (error < 0)
        return error;
    FContext.reset(context);
    return 0;
}

int TFormatOutput::OpenIO() {
    if (!FContext)
        return AVERROR(EINVAL);
    if (FContext->oformat->flags & AVFMT_NOFILE)
        return 0;
    return OpenOutputIO(FContext.get(), FName, FIO);
}

int TFormatOutput::Close() {
    FContext.reset();
    const int error = FIO ? FIO->Close() : 0;
    FIO.reset();
    FName.clear();
    return error;
}

} // namespace qm
