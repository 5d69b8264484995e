#include "platform/window_message.h"

#include <mutex>
#include <unordered_map>
#include <utility>

namespace platform {
namespace {

struct WindowTable {
    std::mutex mutex;
    std::unordered_map<WindowHandle, MessageReceiver*> receivers;
    std::unordered_map<WindowHandle, std::pair<int, int>> client_sizes;
    WindowHandle last = 0;
};

WindowTable& Table() {
    static WindowTable* table = new WindowTable;  // never destroyed: posts may come at exit
    return *table;
}

}  // namespace

WindowHandle RegisterWindow(MessageReceiver* receiver) {
    WindowTable& table = Table();
    std::lock_guard lock(table.mutex);
    do {
        ++table.last;
    } while (table.last == 0 || table.receivers.count(table.last) != 0);
    table.receivers[table.last] = receiver;
    return table.last;
}

void UnregisterWindow(WindowHandle window) {
    WindowTable& table = Table();
    std::lock_guard lock(table.mutex);
    table.receivers.erase(window);
    table.client_sizes.erase(window);
}

bool IsWindow(WindowHandle window) {
    WindowTable& table = Table();
    std::lock_guard lock(table.mutex);
    return window != 0 && table.receivers.count(window) != 0;
}

bool PostWindowMessage(WindowHandle window, unsigned message, std::uintptr_t wparam,
                       std::intptr_t lparam) {
    if (window == 0)
        return false;
    WindowTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.receivers.find(window);
    if (it == table.receivers.end())
        return false;
    it->second->OnPost(message, wparam, lparam);
    return true;
}

bool ShowWindowPicture(WindowHandle window, std::shared_ptr<const WindowPicture> picture) {
    if (window == 0 || !picture)
        return false;
    WindowTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.receivers.find(window);
    if (it == table.receivers.end())
        return false;
    it->second->OnPicture(std::move(picture));
    return true;
}

void SetWindowClientSize(WindowHandle window, int width, int height) {
    WindowTable& table = Table();
    std::lock_guard lock(table.mutex);
    if (window != 0 && table.receivers.count(window) != 0)
        table.client_sizes[window] = {width < 0 ? 0 : width, height < 0 ? 0 : height};
}

bool GetWindowClientSize(WindowHandle window, int& width, int& height) {
    WindowTable& table = Table();
    std::lock_guard lock(table.mutex);
    auto it = table.client_sizes.find(window);
    if (it == table.client_sizes.end())
        return false;
    width = it->second.first;
    height = it->second.second;
    return true;
}

}  // namespace platform
