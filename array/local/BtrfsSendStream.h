// Reads the stream btrfs writes when it sends a snapshot (BTRFS_IOC_SEND),
// fed in chunks as they come out of a pipe. The stream is a header
// ("btrfs-stream\0", then version u32: 1 or 2) and commands, all integers
// little-endian:
//   length:u32 command:u16 crc:u32 attributes[length]
// where crc is the CRC32C (seed 0, not inverted) of the whole command with
// its crc field zeroed, and each attribute is type:u16 length:u16 value
// (from version 2 on, a data attribute has no length and runs to the end of
// its command). Every command is checked whole before it is handed out:
// its length (at most kMaxCommand), its CRC and every attribute's bounds;
// anything else is refused with an error and the parser stays failed.
#pragma once

#include "array/ArrayBackend.h"
#include "hostlib/Status.h"

#include <cstdint>
#include <functional>
#include <string>

namespace btrfssend {

enum Command : uint16_t {
    kSubvolume = 1,
    kSnapshot = 2,
    kMakeFile = 3,
    kMakeDir = 4,
    kMakeNode = 5,
    kMakeFifo = 6,
    kMakeSocket = 7,
    kSymlink = 8,
    kRename = 9,
    kLink = 10,
    kUnlink = 11,
    kRemoveDir = 12,
    kSetXattr = 13,
    kRemoveXattr = 14,
    kWrite = 15,
    kClone = 16,
    kTruncate = 17,
    kChmod = 18,
    kChown = 19,
    kUtimes = 20,
    kEnd = 21,
    kUpdateExtent = 22,
    kFallocate = 23,  // version 2
    kFileAttr = 24,
    kEncodedWrite = 25,
    kLastCommand = kEncodedWrite,
};

enum Attribute : uint16_t {
    kInode = 3,
    kPath = 15,
    kPathTo = 16,
    kPathLink = 17,
    kData = 19,
    kLastAttribute = 31,
};

constexpr size_t kHeaderSize = 17;
constexpr size_t kCommandHeaderSize = 10;
// A version 1 command never exceeds 64 KiB; a version 2 one holds at most
// one compressed extent (128 KiB) besides its attributes.
constexpr uint32_t kMaxCommand = 1 << 20;

uint32_t Crc32c(uint32_t crc, const void* data, size_t size);

// One checked command; its values point into the parser's buffer and are
// valid only while the handler runs.
class SendCommand {
public:
    uint16_t Type() const { return m_type; }
    bool Has(uint16_t attribute) const;
    // The attribute's bytes; empty when absent.
    std::string Text(uint16_t attribute) const;
    // False when absent or not 8 bytes long.
    bool U64(uint16_t attribute, uint64_t& value) const;

private:
    friend class SendStreamParser;
    struct Value {
        const char* data = nullptr;
        uint32_t size = 0;
        bool present = false;
    };
    uint16_t m_type = 0;
    Value m_values[kLastAttribute + 1];
};

class SendStreamParser {
public:
    typedef std::function<hostlib::Status(const SendCommand&)> Handler;
    explicit SendStreamParser(Handler handler) : m_handler(std::move(handler)) {}

    // Takes the next bytes and hands out every command they complete, in
    // order. A failure (garbage, or the handler's own) sticks.
    hostlib::Status Feed(const char* data, size_t size);
    // The stream is over: it must have ended with its end command.
    hostlib::Status Finish();
    uint32_t Version() const { return m_version; }

private:
    hostlib::Status Garbage(const std::string& what);
    hostlib::Status ParseCommand(const char* command, uint32_t length);

    Handler m_handler;
    std::string m_buffer;
    uint32_t m_version = 0;
    uint64_t m_offset = 0;  // of the buffer's first byte in the stream
    bool m_bEnded = false;
    hostlib::Status m_failure;
};

}  // namespace btrfssend
