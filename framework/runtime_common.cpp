// The parts of the runtime seam that both platforms share: the replaceable message handler,
// the registry of report receivers, and reading a whole file.
#include "framework/runtime.h"
#include "framework/runtime_internal.h"

#include <map>
#include <mutex>
#include <utility>

namespace {

std::mutex g_mutex;
MessageHandler g_messageHandler;
std::map<WindowHandle, ReportHandler> g_reportHandlers;

}  // namespace

MessageHandler SetMessageHandler(MessageHandler handler) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return std::exchange(g_messageHandler, std::move(handler));
}

void ShowMessage(WindowHandle owner, const char* text, const char* caption) {
    MessageHandler handler;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        handler = g_messageHandler;
    }
    const char* shownCaption = caption != nullptr ? caption : ProgramName();
    if (handler) {
        handler(owner, text, shownCaption);
    } else {
        runtime_platform::ShowPlatformMessage(owner, text, shownCaption);
    }
}

void SetReportHandler(WindowHandle window, ReportHandler handler) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (handler) {
        g_reportHandlers[window] = std::move(handler);
    } else {
        g_reportHandlers.erase(window);
    }
}

void SendWindowReport(WindowHandle window, unsigned message, uintptr_t kind, intptr_t value) {
    ReportHandler handler;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto it = g_reportHandlers.find(window);
        if (it != g_reportHandlers.end()) {
            handler = it->second;
        }
    }
    if (handler) {
        handler(message, kind, value);
    } else {
        runtime_platform::SendPlatformReport(window, message, kind, value);
    }
}

bool ReadRegularFile(const char* path, std::string* text) {
    std::FILE* file = OpenRegularFileToRead(path);
    if (file == nullptr) {
        return false;
    }
    text->clear();
    char chunk[4096];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text->append(chunk, got);
    }
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}
