// File names the format library would misread, and the program's own file I/O for them.
//
// On Linux a file name is a string of bytes, and the format library takes most of them as they
// are. It misreads two kinds: a name with a ':' before its first '/' (it takes "clip:1.mp4" or
// "C:\x.avi" for a URL of an unknown protocol) and a name that is not valid UTF-8. Such names are
// handed over as "unicode:utf8:" followed by the name's bytes, and every opener below recognises
// that form and reads or writes the file itself through an AVIOContext over a POSIX descriptor.
// Every name the program passes to the format library goes through EncodeFileName; a name read
// back from a format context goes through DecodeFileName.
//
// Ownership, in short:
//   - TUnicodeIO owns one AVIOContext (with its buffer) and, for our own I/O, the descriptor.
//   - After OpenInputContext or OpenOutputIO succeeds, ctx->pb belongs to the TUnicodeIO when one
//     was made (never avio_close it yourself), and to the format context otherwise (input only).
//   - A format context must be closed or freed before the TUnicodeIO it reads or writes through
//     is destroyed. TFormatInput and TFormatOutput hold both in that order; prefer them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

extern "C" {
struct AVDictionary;
struct AVFormatContext;
struct AVIOContext;
struct AVInputFormat;
}

namespace qm {

inline constexpr char UnicodeNamePrefix[] = "unicode:utf8:";
// Schemes that are passed on unchanged; the format library knows them (or, for "unicode", the
// name is already encoded). Case-sensitive, as the format library's own lookup.
inline constexpr char UnicodeKnownSchemes[] = ":unicode:stream:gopher:http:pipe:rtp:tcp:udp:";

// True when AName has a ':' before its first '/' with a scheme not in UnicodeKnownSchemes, or
// when it is not valid UTF-8.
bool NeedsUnicodeName(const std::string& AName);
// True when AName is at least one byte longer than UnicodeNamePrefix and starts with it.
bool IsUnicodeName(const std::string& AName);
// "unicode:utf8:" + AName when NeedsUnicodeName, else AName unchanged. Idempotent. Safe from any
// thread: the result is the caller's own string.
std::string EncodeFileName(const std::string& AName);
// The name after "unicode:utf8:" when IsUnicodeName, else AName unchanged.
std::string DecodeFileName(const std::string& AName);
// For names held by the format library (ctx->url); null gives an empty name.
std::string DecodeFileName(const char* AName);

// Enters the "unicode" protocol into the program's protocol table, exactly once per process
// however often it is called (meant for the loader, after each load of avformat). FFmpeg 5.1 takes
// no new protocols, so the table is ours; the openers below work whether or not it was called.
void EnsureUnicodeProtocol();
// Names in the program's protocol table, in registration order.
std::vector<std::string> RegisteredProtocols();

// Frees our own AVIOContext with its buffer, or closes one from avio_open.
struct TIOContextDeleter {
    bool FromAvioOpen = false;
    void operator()(AVIOContext* AContext) const;
};

// The byte I/O of one file, as an AVIOContext for the format library.
//
// Made by Open (our own I/O over a descriptor, for any file name) or by OpenOutputIO (which may
// also wrap an AVIOContext from avio_open). The object owns the context and its buffer; whoever
// it is handed to must not free or close them. It is neither copied nor moved: the context's
// callbacks hold its address.
//
// Callback results: read gives the bytes read, AVERROR_EOF at the end (never 0) and -1 on a
// failed read; write transfers the whole buffer or gives the system's error as AVERROR
// (AVERROR(ENOSPC) on a full disk); seek answers AVSEEK_SIZE with the
// file's size (-1 when it has none), ignores AVSEEK_FORCE, and gives the new position or -1.
class TUnicodeIO {
    struct TKey {
        explicit TKey() = default;
    };

public:
    static constexpr int BufferSize = 32768;

    // Opens AName (encoded or plain) for reading, or creates or truncates it for writing.
    // Null on failure, with AError = AVERROR(ENOENT) (-2) when the file cannot be opened, else
    // a negative error code; AError is 0 on success.
    static std::unique_ptr<TUnicodeIO> Open(const std::string& AName, bool AWrite, int& AError);

    explicit TUnicodeIO(TKey) {}
    ~TUnicodeIO();
    TUnicodeIO(const TUnicodeIO&) = delete;
    TUnicodeIO& operator=(const TUnicodeIO&) = delete;

    // Null once closed.
    AVIOContext* Context() const { return FContext.get(); }
    bool Writing() const { return FWrite; }

    // Flushes a writer, frees the context and closes the file. Returns the first write, flush or
    // close error, or 0; a second call returns 0. The destructor calls it and drops the result,
    // so a writer that cares whether its data reached the file calls Close itself.
    int Close();

private:
    friend int OpenOutputIO(AVFormatContext*, const std::string&, std::unique_ptr<TUnicodeIO>&);

    static int ReadPacket(void* AOpaque, uint8_t* ABuffer, int ASize);
    static int WritePacket(void* AOpaque, uint8_t* ABuffer, int ASize);
    static int64_t Seek(void* AOpaque, int64_t AOffset, int AWhence);

    int FDescriptor = -1;
    bool FWrite = false;
    std::unique_ptr<AVIOContext, TIOContextDeleter> FContext;
};

// avformat_open_input with the name encoded. A unicode name is read through a new TUnicodeIO
// that is stored in AIO; for other names avformat opens the file itself and AIO stays empty.
//
// *AContext may be null or a context from avformat_alloc_context (without a pb of its own); as
// with avformat_open_input it is freed and set to null on failure. AIO must be empty on entry
// (else AVERROR(EINVAL)). On success close *AContext with avformat_close_input before AIO goes.
int OpenInputContext(AVFormatContext** AContext, const std::string& AName,
                     const AVInputFormat* AFormat, AVDictionary** AOptions,
                     std::unique_ptr<TUnicodeIO>& AIO);

// Gives an output context whose muxer needs a file (no AVFMT_NOFILE) its pb: our own I/O for a
// unicode name, avio_open for any other. Either way AIO owns the pb afterwards: never avio_close
// it; free AContext first, then call AIO->Close() to learn whether the file was written.
// AContext->pb must be null and AIO empty on entry (else AVERROR(EINVAL)). Nothing changes on
// failure.
int OpenOutputIO(AVFormatContext* AContext, const std::string& AName,
                 std::unique_ptr<TUnicodeIO>& AIO);

// An opened input and the I/O it reads through, released in the right order.
class TFormatInput {
public:
    TFormatInput() = default;
    ~TFormatInput() { Close(); }
    TFormatInput(TFormatInput&&) noexcept = default;
    TFormatInput& operator=(TFormatInput&& AOther) noexcept;

    // OpenInputContext into this object, which must be closed. APrepared, when given, is a
    // context from avformat_alloc_context set up by the caller (an interrupt callback, flags);
    // it is taken over whatever the result.
    int Open(const std::string& AName, const AVInputFormat* AFormat = nullptr,
             AVDictionary** AOptions = nullptr, AVFormatContext* APrepared = nullptr);
    void Close();

    AVFormatContext* Get() const { return FContext.get(); }
    AVFormatContext* operator->() const { return FContext.get(); }
    explicit operator bool() const { return static_cast<bool>(FContext); }

private:
    struct TCloser {
        void operator()(AVFormatContext* AContext) const;
    };
    std::unique_ptr<TUnicodeIO> FIO; // declared first: outlives the context
    std::unique_ptr<AVFormatContext, TCloser> FContext;
};

// An output context and the I/O it writes through, released in the right order.
class TFormatOutput {
public:
    TFormatOutput() = default;
    ~TFormatOutput() { Close(); }
    TFormatOutput(TFormatOutput&&) noexcept = default;
    TFormatOutput& operator=(TFormatOutput&& AOther) noexcept;

    // avformat_alloc_output_context2 with the encoded name; AFormatName null guesses the muxer
    // from the name. This object must be closed.
    int Create(const std::string& AName, const char* AFormatName = nullptr);
    // Opens the file through OpenOutputIO unless the muxer needs none; call after the streams
    // are set up and before avformat_write_header.
    int OpenIO();
    // Frees the context, then flushes and closes the file. The first error of the file's
    // writes, flush or close, or 0.
    int Close();

    AVFormatContext* Get() const { return FContext.get(); }
    AVFormatContext* operator->() const { return FContext.get(); }
    explicit operator bool() const { return static_cast<bool>(FContext); }

private:
    struct TFreer {
        void operator()(AVFormatContext* AContext) const;
    };
    std::string FName;
    std::unique_ptr<TUnicodeIO> FIO; // declared first: outlives the context
    std::unique_ptr<AVFormatContext, TFreer> FContext;
};

} // namespace qm
