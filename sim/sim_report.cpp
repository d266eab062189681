// The report's JSON form, the flash digest (SHA-256 through OpenSSL's EVP interface), the
// "old application" pattern of a fresh flash model, and the atomic report file.
#include "sim/sim_report.h"

#include "sim/sim_options.h"

#include <openssl/evp.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace sim {
namespace {

constexpr char kOldApplication[] = "OLD APPLICATION ";

std::string Hex(const uint8_t* bytes, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text;
    text.reserve(count * 2);
    for (size_t i = 0; i < count; ++i) {
        text += kDigits[bytes[i] >> 4];
        text += kDigits[bytes[i] & 0xF];
    }
    return text;
}

std::string Address(uint32_t address) {
    char text[16];
    std::snprintf(text, sizeof text, "\"0x%06X\"", address);
    return text;
}

std::string Quoted(const std::string& text) {
    std::string out = "\"";
    for (char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (u < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", u);
            out += escape;
        } else {
            out += c;
        }
    }
    return out + "\"";
}

std::string Bool(bool value) {
    return value ? "true" : "false";
}

}  // namespace

uint8_t OldFlashByte(uint32_t offset) {
    return static_cast<uint8_t>(kOldApplication[offset % (sizeof kOldApplication - 1)]);
}

std::string FlashDigestOf(const uint8_t* bytes, size_t count) {
    count = std::min<size_t>(count, kFlashSize);
    std::vector<uint8_t> flash(kFlashSize, 0xFF);
    if (count > 0) {
        std::copy_n(bytes, count, flash.begin());
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(flash.data(), flash.size(), digest, &length, EVP_sha256(), nullptr) != 1) {
        return {};
    }
    return Hex(digest, length);
}

std::string Report::ToJson() const {
    std::string json = "{\n  \"sessions\": [";
    for (size_t s = 0; s < sessions.size(); ++s) {
        const SessionReport& session = sessions[s];
        json += s == 0 ? "\n" : ",\n";
        json += "    {\n      \"phases\": [";
        for (size_t i = 0; i < session.phases.size(); ++i) {
            json += (i == 0 ? "" : ", ") + Quoted(session.phases[i]);
        }
        json += "],\n      \"erased\": [";
        for (size_t i = 0; i < session.erased.size(); ++i) {
            json += (i == 0 ? "" : ", ") + Address(session.erased[i]);
        }
        json += "],\n      \"blocksWritten\": " + std::to_string(session.blocksWritten);
        json += ",\n      \"lowestBlock\": " + Address(session.lowestBlock);
        json += ",\n      \"highestBlockEnd\": " + Address(session.highestBlockEnd);
        json += ",\n      \"blockBaud\": " + std::to_string(session.blockBaud);
        json += ",\n      \"completed\": " + Bool(session.completed);
        json += ",\n      \"etxRuns\": " + std::to_string(session.etxRuns);
        json += ",\n      \"fault\": " + Quoted(session.fault);
        json += "\n    }";
    }
    json += sessions.empty() ? "],\n" : "\n  ],\n";
    json += "  \"kickStarts\": " + std::to_string(kickStarts) + ",\n";
    json += "  \"lineClosed\": " + Bool(lineClosed) + ",\n";
    json += "  \"flashDigest\": " + Quoted(flashDigest) + ",\n";
    json += "  \"violations\": [";
    for (size_t i = 0; i < violations.size(); ++i) {
        json += (i == 0 ? "\n    " : ",\n    ") + Quoted(violations[i]);
    }
    json += violations.empty() ? "]\n}\n" : "\n  ]\n}\n";
    return json;
}

bool WriteReportFile(const std::string& path, const Report& report) {
    const std::string temporary = path + ".tmp." + std::to_string(getpid());
    std::FILE* file = std::fopen(temporary.c_str(), "wb");
    if (file == nullptr) {
        return false;
    }
    const std::string json = report.ToJson();
    const bool written = std::fwrite(json.data(), 1, json.size(), file) == json.size();
    if (std::fclose(file) != 0 || !written || std::rename(temporary.c_str(), path.c_str()) != 0) {
        std::remove(temporary.c_str());
        return false;
    }
    return true;
}

}  // namespace sim
