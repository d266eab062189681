// The commands on an application file that need no instrument: `info`, `export` and
// `carray`.  Each runs the core's own operation; their messages are the core's.
#include "cli/commands.h"

#include "cli/run_output.h"
#include "devtools/c_array.h"
#include "devtools/srec_export.h"
#include "image/app_image.h"
#include "job/image_info.h"
#include "job/load_job.h"
#include "link/load_report.h"
#include "port_runs/exit_status.h"
#include "port_runs/message_router.h"
#include "port_runs/sign_option.h"

namespace {

// The handle that a command's own reports and messages carry.  Messages go to stderr as
// lines, also when the command answers in JSON; status texts are printed when asked for.
class CFileCommand {
public:
    explicit CFileCommand(bool showStatus)
        : m_output(OutputOptions{}, stdout, stderr), m_router(m_output) {
        m_router.BindOwner(Handle(), kNoPort);
        SetReportHandler(Handle(), [this, showStatus](unsigned, uintptr_t kind, intptr_t value) {
            if (showStatus && kind == ReportStatus) {
                m_output.Status(kNoPort, reinterpret_cast<const char*>(value));
            }
        });
    }
    ~CFileCommand() { SetReportHandler(Handle(), nullptr); }
    CFileCommand(const CFileCommand&) = delete;
    CFileCommand& operator=(const CFileCommand&) = delete;

    WindowHandle Handle() { return this; }
    bool FailureTold() const { return m_router.Failures(kNoPort) > 0; }

private:
    CRunOutput m_output;
    CMessageRouter m_router;
};

}  // namespace

int RunInfo(const std::string& file, bool json) {
    CFileCommand command(false);
    const ImageInfo info = ReadImageInfo(file.c_str(), command.Handle(), WM_LOAD_REPORT);
    if (json) {
        std::printf("%s\n", ImageInfoJson(file, info).dump().c_str());
    } else {
        for (const std::string& line : ImageInfoText(file, info)) {
            std::printf("%s\n", line.c_str());
        }
    }
    return info.ok ? kExitOk : kExitFileRefused;
}

int RunExport(const std::string& file, const std::string& output, const std::string& signLibrary) {
    SignAppFn signApp = nullptr;
    if (!LoadSignOption(signLibrary, &signApp)) {
        return kExitUsage;
    }
    CFileCommand command(true);
    uint32_t endAddress = 0;
    if (!ReadAndStampImage(file.c_str(), command.Handle(), WM_LOAD_REPORT, &endAddress)) {
        return kExitFileRefused;
    }
    if (signApp != nullptr) {
        CallSignApp(signApp, AppImage, ImageBase, endAddress);
    }
    ExportImageSRecords(output.c_str(), ImageBase, endAddress, AppImage);
    return command.FailureTold() ? kExitFailed : kExitOk;
}

int RunCArray(const std::string& file, uint32_t base) {
    CFileCommand command(true);
    if (!ConvertImageToCArray(file.c_str(), base, command.Handle())) {
        return kExitFileRefused;
    }
    return command.FailureTold() ? kExitFailed : kExitOk;
}
