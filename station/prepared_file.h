// A shelf file made ready for the runs of one request: read, stamped, signed and checked as a
// load does it, once, before any port is touched, then copied out of the one process-wide
// image so that the request's runs read their own copy while the next request prepares.
// The same lock covers the shelf's file information, which reads through that image too.
#pragma once

#include "devtools/sign_library.h"
#include "image/image_header.h"
#include "port_runs/message_router.h"
#include "station/shelf.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

struct PreparedFile {
    std::vector<uint8_t> image;
    uint32_t end = 0;
    StampedHeader header;
    std::string file;  // the shelf name
    std::string sha256;
};

class CFilePreparer {
public:
    // The file's own messages go through the router as the port kNoPort's; signApp may be
    // null (no signing).
    CFilePreparer(const CShelf& shelf, SignAppFn signApp, CMessageRouter& router);
    ~CFilePreparer();
    CFilePreparer(const CFilePreparer&) = delete;
    CFilePreparer& operator=(const CFilePreparer&) = delete;

    // False with the refusal's words ("Can't load unsigned file") when the file can't be used.
    bool Prepare(const std::string& file, PreparedFile* prepared, std::string* refusal);
    // Every shelf file as `velko-cli info --json` describes it: {"files":[...]}.
    nlohmann::ordered_json ShelfJson();

    bool Signs() const { return m_signApp != nullptr; }

private:
    const CShelf& m_shelf;
    const SignAppFn m_signApp;
    CMessageRouter& m_router;
    std::mutex m_imageMutex;
    int m_fileToken = 0;  // its address is the handle of the files' own reports and messages
};
