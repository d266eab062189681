// The operators file, read whole (a regular file only, as every file the station is given).
#include "station/operators.h"

#include "framework/regular_file.h"
#include "station/password_hash.h"

#include <sstream>

const char kTokenOperator[] = "token";

namespace {

constexpr size_t kMaxNameLength = 64;

bool NameAllowed(const std::string& name) {
    if (name.empty() || name.size() > kMaxNameLength) {
        return false;
    }
    for (const char c : name) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte <= 0x20 || byte >= 0x7F) {
            return false;
        }
    }
    return true;
}

}  // namespace

const char* RoleName(OperatorRole role) {
    return role == OperatorRole::Supervisor ? "supervisor" : "operator";
}

bool ReadOperatorsFile(const std::string& path, std::vector<Operator>* operators,
                       std::string* error) {
    std::string text;
    if (!ReadRegularFile(path.c_str(), &text)) {
        *error = "can't read the operators file " + path + " (a regular file)";
        return false;
    }
    std::vector<Operator> read;
    std::istringstream lines(text);
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        auto fail = [&](const std::string& why) {
            *error = path + " line " + std::to_string(number) + ": " + why;
            return false;
        };
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        std::vector<std::string> fields;
        for (std::string word; words >> word;) {
            fields.push_back(word);
        }
        if (fields.empty()) {
            continue;
        }
        if (fields.size() != 3) {
            return fail("want NAME ROLE HASH, three words");
        }
        Operator entry;
        entry.name = fields[0];
        if (!NameAllowed(entry.name)) {
            return fail("a name is 1 to 64 printable ASCII characters without blanks");
        }
        if (entry.name == kTokenOperator) {
            return fail("the name token is the bearer token's");
        }
        if (fields[1] == "operator") {
            entry.role = OperatorRole::Operator;
        } else if (fields[1] == "supervisor") {
            entry.role = OperatorRole::Supervisor;
        } else {
            return fail("the role " + fields[1] + " is neither operator nor supervisor");
        }
        entry.hash = fields[2];
        if (!IsPasswordHash(entry.hash)) {
            return fail("the hash of " + entry.name +
                        " is none that velko-station hash-password makes");
        }
        for (const Operator& before : read) {
            if (before.name == entry.name) {
                return fail(entry.name + " is named twice");
            }
        }
        read.push_back(entry);
    }
    if (read.empty()) {
        *error = "the operators file " + path + " names no operator";
        return false;
    }
    *operators = std::move(read);
    return true;
}

bool COperators::Load(const std::string& path, std::string* error) {
    std::vector<Operator> read;
    if (!ReadOperatorsFile(path, &read, error)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    m_path = path;
    m_operators = std::move(read);
    return true;
}

bool COperators::Reload(std::string* error) {
    std::string path;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        path = m_path;
    }
    return Load(path, error);
}

std::optional<Operator> COperators::Find(const std::string& name) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const Operator& entry : m_operators) {
        if (entry.name == name) {
            return entry;
        }
    }
    return std::nullopt;
}

size_t COperators::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_operators.size();
}
