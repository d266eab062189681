// Preparing a shelf file, and the shelf's file information.
#include "station/prepared_file.h"

#include "devtools/developer_locations.h"
#include "image/app_image.h"
#include "job/image_info.h"
#include "job/load_job.h"
#include "link/load_report.h"

CFilePreparer::CFilePreparer(const CShelf& shelf, SignAppFn signApp, CMessageRouter& router)
    : m_shelf(shelf), m_signApp(signApp), m_router(router) {
    m_router.BindOwner(&m_fileToken, kNoPort);
    // The files' own status reports are not the page's: it asked, and hears the answer.
    SetReportHandler(&m_fileToken, [](unsigned, uintptr_t, intptr_t) {});
}

CFilePreparer::~CFilePreparer() {
    SetReportHandler(&m_fileToken, nullptr);
    m_router.Unbind(&m_fileToken);
}

bool CFilePreparer::Prepare(const std::string& file, PreparedFile* prepared, std::string* refusal) {
    std::lock_guard<std::mutex> lock(m_imageMutex);
    m_router.ClearFailures(kNoPort);
    uint32_t end = 0;
    const std::string path = m_shelf.PathOf(file);
    if (!PrepareLoadImage(path.c_str(), &m_fileToken, WM_LOAD_REPORT, m_signApp, 0, kExportFilePath,
                          &end)) {
        *refusal = m_router.FailureText(kNoPort);
        if (refusal->empty()) {
            *refusal = "Problem with file";
        }
        return false;
    }
    prepared->image.assign(AppImage, AppImage + ImageSize);
    prepared->end = end;
    prepared->header = ReadStampedHeader();
    prepared->file = file;
    prepared->sha256 = m_shelf.Sha256(file);
    return true;
}

nlohmann::ordered_json CFilePreparer::ShelfJson() {
    nlohmann::ordered_json files = nlohmann::ordered_json::array();
    for (const std::string& name : m_shelf.List()) {
        std::lock_guard<std::mutex> lock(m_imageMutex);
        const ImageInfo info =
            ReadImageInfo(m_shelf.PathOf(name).c_str(), &m_fileToken, WM_LOAD_REPORT);
        files.push_back(ImageInfoJson(name, info));
    }
    return nlohmann::ordered_json{{"files", files}};
}
