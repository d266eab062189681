// The parts of the runtime seam that both platforms share: the replaceable message handler,
// and the registry of report receivers.
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
