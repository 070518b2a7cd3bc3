#include "array/local/BtrfsSendStream.h"

#include <cstring>

using hostlib::Status;

namespace btrfssend {
namespace {

const char kMagic[] = "btrfs-stream";  // with its NUL, 13 bytes

uint32_t Le32(const char* p) {
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
    return uint32_t(u[0]) | uint32_t(u[1]) << 8 | uint32_t(u[2]) << 16 | uint32_t(u[3]) << 24;
}

uint16_t Le16(const char* p) {
    const unsigned char* u = reinterpret_cast<const unsigned char*>(p);
    return uint16_t(u[0] | u[1] << 8);
}

struct Crc32cTable {
    uint32_t entry[256];
    Crc32cTable() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (c & 1 ? 0x82F63B78u : 0);
            entry[i] = c;
        }
    }
};

}  // namespace

uint32_t Crc32c(uint32_t crc, const void* data, size_t size) {
    static const Crc32cTable table;
    const unsigned char* p = static_cast<const unsigned char*>(data);
    for (size_t i = 0; i < size; ++i) crc = table.entry[(crc ^ p[i]) & 0xff] ^ (crc >> 8);
    return crc;
}

bool SendCommand::Has(uint16_t attribute) const {
    return attribute <= kLastAttribute && m_values[attribute].present;
}

std::string SendCommand::Text(uint16_t attribute) const {
    if (!Has(attribute)) return std::string();
    return std::string(m_values[attribute].data, m_values[attribute].size);
}

bool SendCommand::U64(uint16_t attribute, uint64_t& value) const {
    if (!Has(attribute) || m_values[attribute].size != 8) return false;
    const char* p = m_values[attribute].data;
    value = uint64_t(Le32(p)) | uint64_t(Le32(p + 4)) << 32;
    return true;
}

Status SendStreamParser::Garbage(const std::string& what) {
    m_failure = Status::IOError("the file system's comparison stream is damaged at byte " +
                                std::to_string(m_offset) + ": " + what);
    return m_failure;
}

Status SendStreamParser::ParseCommand(const char* command, uint32_t length) {
    SendCommand parsed;
    parsed.m_type = Le16(command + 4);
    if (parsed.m_type == 0 || parsed.m_type > kLastCommand ||
        (m_version < 2 && parsed.m_type > kUpdateExtent))
        return Garbage("unknown command " + std::to_string(parsed.m_type));
    const char* at = command + kCommandHeaderSize;
    const char* end = at + length;
    while (at < end) {
        if (end - at < 2) return Garbage("attribute header cut short");
        uint16_t type = Le16(at);
        uint32_t size;
        if (m_version >= 2 && type == kData) {
            at += 2;
            size = uint32_t(end - at);
        } else {
            if (end - at < 4) return Garbage("attribute header cut short");
            size = Le16(at + 2);
            at += 4;
            if (size > uint32_t(end - at))
                return Garbage("attribute " + std::to_string(type) + " runs past its command");
        }
        // Attributes of later versions than this reader knows carry nothing
        // the comparison needs.
        if (type <= kLastAttribute && !parsed.m_values[type].present) {
            parsed.m_values[type].data = at;
            parsed.m_values[type].size = size;
            parsed.m_values[type].present = true;
        }
        at += size;
    }
    if (parsed.m_type == kEnd) m_bEnded = true;
    Status status = m_handler(parsed);
    if (!status.ok()) m_failure = status;
    return status;
}

Status SendStreamParser::Feed(const char* data, size_t size) {
    if (!m_failure.ok()) return m_failure;
    m_buffer.append(data, size);
    size_t used = 0;
    Status status;
    if (m_version == 0) {
        if (m_buffer.size() < kHeaderSize) return Status::OK();
        if (memcmp(m_buffer.data(), kMagic, sizeof(kMagic)) != 0)
            return Garbage("not a btrfs send stream");
        m_version = Le32(m_buffer.data() + sizeof(kMagic));
        if (m_version != 1 && m_version != 2)
            return Garbage("stream version " + std::to_string(m_version) +
                           " is not one this array reads (1 or 2)");
        used = kHeaderSize;
        m_offset = kHeaderSize;
    }
    while (status.ok() && m_buffer.size() > used) {
        if (m_bEnded) {
            status = Garbage("bytes after the end command");
            break;
        }
        if (m_buffer.size() - used < kCommandHeaderSize) break;
        char* command = &m_buffer[used];
        uint32_t length = Le32(command);
        if (length > kMaxCommand) {
            status = Garbage("command of " + std::to_string(length) + " bytes");
            break;
        }
        if (m_buffer.size() - used - kCommandHeaderSize < length) break;
        uint32_t crc = Le32(command + 6);
        memset(command + 6, 0, 4);
        if (Crc32c(0, command, kCommandHeaderSize + length) != crc) {
            status = Garbage("command fails its CRC32C check");
            break;
        }
        status = ParseCommand(command, length);
        used += kCommandHeaderSize + length;
        m_offset += kCommandHeaderSize + length;
    }
    m_buffer.erase(0, used);
    return status;
}

Status SendStreamParser::Finish() {
    if (!m_failure.ok()) return m_failure;
    if (!m_bEnded || !m_buffer.empty()) return Garbage("stream ends without its end command");
    return Status::OK();
}

}  // namespace btrfssend
