// Output files of the developer tools, with write errors noticed and partial files removed.
#include "devtools/output_file.h"

#include "framework/regular_file.h"

COutputFile::~COutputFile() {
    if (m_file != nullptr) {
        std::fclose(m_file);
    }
}

bool COutputFile::Open(const std::string& path) {
    m_path = path;
    m_ok = true;
    m_file = OpenFileUnshared(path.c_str(), "wb");
    return m_file != nullptr;
}

void COutputFile::Write(std::string_view bytes) {
    if (m_file == nullptr || !m_ok || bytes.empty()) {
        return;
    }
    if (std::fwrite(bytes.data(), 1, bytes.size(), m_file) != bytes.size()) {
        m_ok = false;
    }
}

bool COutputFile::Close() {
    if (m_file == nullptr) {
        return false;
    }
    // Buffered bytes may fail only now, on the flush that the close performs.
    if (std::fclose(m_file) != 0) {
        m_ok = false;
    }
    m_file = nullptr;
    if (!m_ok) {
        RemoveRegularFile(m_path.c_str());  // a device such as /dev/full stays
    }
    return m_ok;
}
