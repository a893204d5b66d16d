#include "msg/msg.h"

#include <cerrno>
#include <cstdio>
#include <memory>

#include "mapi/error.h"
#include "msg/compound_file_reader.h"
#include "msg/compound_file_writer.h"
#include "msg/file_source.h"
#include "msg/msg_reader.h"
#include "msg/msg_writer.h"

namespace qm::msg {

namespace {

mapi::Message readFrom(std::shared_ptr<const ByteSource> source, const std::string& name,
                       bool streamLargeValues) {
    try {
        auto cfb = CompoundFileReader::open(std::move(source), name);
        return readMessage(std::move(cfb), MsgReadOptions{streamLargeValues});
    } catch (const FormatError& e) {
        // Helpers that work on bytes (ByteReader) do not know the file name.
        if (e.file().empty()) throw e.withFile(name);
        throw;
    }
}

}  // namespace

mapi::Message readMsgFile(const std::filesystem::path& path) {
    return readFrom(FileSource::open(path), path.string(), true);
}

mapi::Message readMsg(std::span<const uint8_t> data, const std::string& name) {
    // The caller's bytes do not outlive the call: every value is copied out.
    return readFrom(std::make_shared<SpanSource>(data), name, false);
}

void writeMsgFile(const mapi::Message& message, const std::filesystem::path& path,
                  const WriteOptions& options) {
    std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), &std::fclose);
    if (!f) throw IoError(path.string(), "open for writing", errno);
    writeMsg(
        message,
        [&](std::span<const uint8_t> piece) {
            if (!piece.empty() &&
                std::fwrite(piece.data(), 1, piece.size(), f.get()) != piece.size()) {
                throw IoError(path.string(), "write", errno);
            }
        },
        options);
    FILE* raw = f.release();
    if (std::fclose(raw) != 0) throw IoError(path.string(), "close", errno);
}

Bytes writeMsg(const mapi::Message& message, const WriteOptions& options) {
    CompoundFileWriter cfw(options.sectorSize);
    layOutMessage(message, cfw);
    return cfw.toBytes();
}

void writeMsg(const mapi::Message& message,
              const std::function<void(std::span<const uint8_t>)>& sink,
              const WriteOptions& options) {
    CompoundFileWriter cfw(options.sectorSize);
    layOutMessage(message, cfw);
    cfw.write(sink);
}

}  // namespace qm::msg
