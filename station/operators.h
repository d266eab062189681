// The operators who may sign in at the bench (--operators FILE): one a line, "NAME ROLE HASH",
// ROLE operator or supervisor, HASH what `velko-station hash-password` prints; '#' starts a
// comment, blank lines are skipped.  The list is read at start and again on SIGHUP: a file
// that has gone bad then leaves the list as it was.
#pragma once

#include <mutex>
#include <optional>
#include <string>
#include <vector>

enum class OperatorRole {
    Operator,    // programs, retries and cancels
    Supervisor,  // also sets or clears the automatic file
};

struct Operator {
    std::string name;
    OperatorRole role = OperatorRole::Operator;
    std::string hash;
};

// The name the bearer token of --token-file signs as; no operator may have it.
extern const char kTokenOperator[];

const char* RoleName(OperatorRole role);

// The operators of a file; false with the reason (and the line) when it can't be read or a
// line is malformed: not three words, an unknown role, a name twice or one that can't be, a
// hash that is none of hash-password's, or no operator at all.
bool ReadOperatorsFile(const std::string& path, std::vector<Operator>* operators,
                       std::string* error);

class COperators {
public:
    // Reads the file; false with the reason.
    bool Load(const std::string& path, std::string* error);
    // Reads the file again; false with the reason, the list kept as it was.
    bool Reload(std::string* error);
    std::optional<Operator> Find(const std::string& name) const;
    size_t Count() const;

private:
    mutable std::mutex m_mutex;
    std::string m_path;
    std::vector<Operator> m_operators;
};
