#include "tools/tm350/desktop_json.h"

#include <map>

#include "platform/win32/common/text.h"

namespace tm350::tool {

namespace {

nlohmann::json RectJson(const RECT &rect) {
    return {{"left", rect.left}, {"top", rect.top}, {"right", rect.right}, {"bottom", rect.bottom}};
}

// A handle as a number the browser can key windows by.
unsigned long long HandleNumber(HWND window) {
    return static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(window));
}

bool IsClass(const user32::WindowView &view, const char16_t *name) {
    return text::EqualsIgnoringCase(view.class_name, name);
}

}  // namespace

nlohmann::json WindowJson(const user32::WindowView &view) {
    nlohmann::json window = {
        {"handle", HandleNumber(view.window)},
        {"class", text::Utf16ToUtf8(view.class_name)},
        {"text", text::Utf16ToUtf8(view.text)},
        {"rect", RectJson(view.rect)},
        {"style", static_cast<DWORD>(view.style)},
        {"ex_style", static_cast<DWORD>(view.ex_style)},
        {"id", view.id},
        {"visible", view.visible},
        {"enabled", view.enabled},
    };
    if (IsClass(view, u"Button")) window["check"] = view.check;
    if (IsClass(view, u"msctls_trackbar32")) {
        window["range"] = {view.range_min, view.range_max};
        window["position"] = view.position;
        window["thumb"] = RectJson(view.thumb);
    }
    if (IsClass(view, u"SysTabControl32")) {
        nlohmann::json tabs = nlohmann::json::array();
        for (const std::u16string &tab : view.tabs) tabs.push_back(text::Utf16ToUtf8(tab));
        window["tabs"] = std::move(tabs);
        window["selected_tab"] = view.selected_tab;
    }
    return window;
}

nlohmann::json DesktopJson() {
    nlohmann::json state = {{"generation", user32::DesktopGeneration()}, {"windows", nlohmann::json::array()}};
    for (HWND top : user32::TopLevelWindows()) {
        // A tree's views come parents first, so each child finds its parent
        // already placed; a window destroyed between the list and its view
        // simply has none.
        std::vector<user32::WindowView> views = user32::ViewWindowTree(top);
        if (views.empty()) continue;
        std::vector<nlohmann::json> built;
        std::map<HWND, size_t> index;
        built.reserve(views.size());
        for (const user32::WindowView &view : views) {
            index[view.window] = built.size();
            built.push_back(WindowJson(view));
            built.back()["children"] = nlohmann::json::array();
            built.back()["thread"] = view.thread;
        }
        // Children are attached from the last up, so that each subtree is
        // whole before it moves into its parent.
        for (size_t i = views.size(); i-- > 1;) {
            auto parent = index.find(views[i].parent);
            if (parent == index.end() || parent->second >= i) continue;
            auto &siblings = built[parent->second]["children"];
            siblings.insert(siblings.begin(), std::move(built[i]));
        }
        state["windows"].push_back(std::move(built[0]));
    }
    return state;
}

}  // namespace tm350::tool
