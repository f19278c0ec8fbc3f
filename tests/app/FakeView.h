#pragma once
#include "MainView.h"

#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// A window made of plain members. `events` records the calls whose order matters.
class FakeView : public zem::MainView {
public:
    std::map<zem::Item, std::string> texts;
    std::set<zem::Item> disabled;
    std::set<zem::Item> visible;
    int progress = -1;
    zem::RunOutcome outcome = zem::RunOutcome::kNone;
    std::vector<std::string> portItems;
    std::vector<std::string> alerts;
    std::vector<std::string> errors;
    std::vector<std::string> events;
    std::vector<std::string> debugLines;
    bool debugVisible = false;
    int debugLeft = -1, debugTop = -1;
    bool busy = false;
    int busyChanges = 0;
    int pending = 0;
    bool autoTimer = false;
    bool quitRequested = false;
    zem::WindowRect rect{0, 0, 385, 258};
    std::string dialogInitialDir;
    std::function<std::optional<std::string>()> dialog = [] { return std::nullopt; };
    std::function<void()> onPending;

    std::string Text(zem::Item i) override { return texts[i]; }
    void SetText(zem::Item i, const std::string& t) override { texts[i] = t; }
    void SetEnabled(zem::Item i, bool e) override {
        if (e)
            disabled.erase(i);
        else
            disabled.insert(i);
    }
    void SetVisible(zem::Item i, bool v) override {
        if (v)
            visible.insert(i);
        else
            visible.erase(i);
    }
    void SetProgress(int p) override { progress = p; }
    void ShowOutcome(zem::RunOutcome o) override { outcome = o; }
    void SetPortItems(const std::vector<std::string>& p) override {
        portItems = p;
        if (!p.empty()) texts[zem::Item::ComboBoxPort] = p[0];
    }
    void ShowAlert(const std::string& t) override {
        alerts.push_back(t);
        events.push_back("alert:" + t);
    }
    void ShowError(const std::string& t) override {
        errors.push_back(t);
        events.push_back("error:" + t);
    }
    void ShowMessage(const std::string& caption, const std::string& t) override {
        events.push_back("message:" + caption + ":" + t);
    }
    std::optional<std::string> RunOpenDialog(const std::string& dir) override {
        dialogInitialDir = dir;
        return dialog();
    }
    void ProcessPendingMessages() override {
        ++pending;
        if (onPending) onPending();
    }
    void SetBusyCursor(bool b) override {
        busy = b;
        ++busyChanges;
    }
    zem::WindowRect MainWindowRect() override { return rect; }
    void MoveMainWindow(int left, int top) override {
        rect.left = left;
        rect.top = top;
    }
    void EnableAutoProgramTimer(bool e) override { autoTimer = e; }
    void RequestQuit() override {
        quitRequested = true;
        events.push_back("quit");
    }
    void AppendDebugLine(const std::string& l) override { debugLines.push_back(l); }
    void ClearDebugLines() override { debugLines.clear(); }
    bool DebugWindowVisible() override { return debugVisible; }
    void ShowDebugWindowAt(int left, int top) override {
        debugVisible = true;
        debugLeft = left;
        debugTop = top;
    }
};
