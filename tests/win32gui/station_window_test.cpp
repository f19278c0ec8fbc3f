// The Win32 station window in process, under Wine: with fake runs, and (when the driver maps
// simulated modules to COM ports) with four real ones.
#include "Harness.h"
#include "StationFakes.h"
#include "TFormMain.h"
#include "TFormStation.h"
#include "TestDir.h"

#include <gtest/gtest.h>

#include <commctrl.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>

namespace {

// Runs the message loop until `done` holds; false after `ms`.
bool PumpUntil(const std::function<bool()>& done, int ms = 30000) {
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end) return false;
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            TranslateMessage(&msg);
            DispatchMessageA(&msg);
        }
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 5, QS_ALLINPUT);
    }
    return true;
}

void Click(TFormStation& w, HWND button) {
    SendMessageA(w.Handle(), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
}

std::vector<std::string> Lines(const std::string& file) {
    std::ifstream in(file);
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

struct StationWindow {
    ScopedTestDir dir;
    Plan plan;
    std::unique_ptr<TFormStation> w;

    explicit StationWindow(zem::Services services) {
        INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES};
        InitCommonControlsEx(&icc);
        w = std::make_unique<TFormStation>(std::move(services), dir.File("Zem.ini"), false);
        w->errorHook = [](const std::string& text) { ADD_FAILURE() << text; };
        w->Show();
    }
    StationWindow() : StationWindow(zem::Services{}) {}
    void Setup(const std::string& ports, const std::string& stream) {
        SetWindowTextA(w->EditPorts, ports.c_str());
        SetWindowTextA(w->EditStream, stream.c_str());
        SetWindowTextA(w->EditResults, dir.File("results.jsonl").c_str());
        w->Logic().StreamEdited();
    }
};

TEST(Win32Station, FakeRunsFillTheRowsAndTotals) {
    Plan plan;
    plan.failing = {"COM3"};
    StationWindow s(PlannedServices(plan));
    std::ofstream(s.dir.File("good.bin"), std::ios::binary) << MakeStream();
    s.Setup("COM1,COM2,COM3,COM4", s.dir.File("good.bin"));
    EXPECT_EQ(s.w->LabelSwVer.Text(), "SW 1.02");
    s.w->Logic().SetModulesPerPort(2);
    Click(*s.w, s.w->ButtonStart);
    EXPECT_FALSE(IsWindowEnabled(s.w->ButtonStart));
    ASSERT_TRUE(PumpUntil([&] { return !s.w->Logic().Running(); }));
    EXPECT_TRUE(IsWindowEnabled(s.w->ButtonStart));
    ASSERT_EQ(ListView_GetItemCount(s.w->List), 4);
    for (int r = 0; r < 4; ++r) {
        bool fails = r == 2;
        SCOPED_TRACE(r);
        EXPECT_EQ(s.w->Cell(r, TFormStation::kPort), "COM" + std::to_string(r + 1));
        EXPECT_EQ(s.w->Cell(r, TFormStation::kState), fails ? "failed" : "programmed");
        EXPECT_EQ(s.w->Cell(r, TFormStation::kRuns), "2");
        EXPECT_EQ(s.w->Cell(r, TFormStation::kProgrammed), fails ? "0" : "2");
        EXPECT_EQ(s.w->Cell(r, TFormStation::kFailed), fails ? "2" : "0");
    }
    EXPECT_EQ(s.w->LabelProgrammed.Text(), "6");
    EXPECT_EQ(s.w->LabelFailed.Text(), "2");
    EXPECT_EQ(s.w->LabelYield.Text(), "75.0 % (6 of 8)");
    EXPECT_EQ(Lines(s.dir.File("results.jsonl")).size(), 16u);
}

TEST(Win32Station, StopFinishesAndAbortEndsTheRunsUnderWay) {
    for (bool abort : {false, true}) {
        SCOPED_TRACE(abort ? "abort" : "stop");
        Plan plan;
        plan.hold = true;
        StationWindow s(PlannedServices(plan));
        std::ofstream(s.dir.File("good.bin"), std::ios::binary) << MakeStream();
        s.Setup("COM1,COM2", s.dir.File("good.bin"));
        Click(*s.w, s.w->ButtonStart);
        ASSERT_TRUE(plan.WaitHeld(2));
        ASSERT_TRUE(PumpUntil([&] { return s.w->Cell(1, TFormStation::kState) == "programming"; }));
        auto start = std::chrono::steady_clock::now();
        if (abort) {
            Click(*s.w, s.w->ButtonAbort);
        } else {
            Click(*s.w, s.w->ButtonStop);
            plan.Open();
        }
        ASSERT_TRUE(PumpUntil([&] { return !s.w->Logic().Running(); }));
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                      std::chrono::steady_clock::now() - start)
                      .count();
        std::printf("[ station  ] %s: the window idle after %lld ms\n", abort ? "abort" : "stop",
                    static_cast<long long>(ms));
        EXPECT_LT(ms, 1000);
        for (int r = 0; r < 2; ++r)
            EXPECT_EQ(s.w->Cell(r, TFormStation::kState), abort ? "aborted" : "programmed");
        EXPECT_EQ(plan.started.load(), 2);
    }
}

TEST(Win32Station, ClosingWhileRunningAsksAndAborts) {
    Plan plan;
    plan.hold = true;
    StationWindow s(PlannedServices(plan));
    std::ofstream(s.dir.File("good.bin"), std::ios::binary) << MakeStream();
    s.Setup("COM1", s.dir.File("good.bin"));
    Click(*s.w, s.w->ButtonStart);
    ASSERT_TRUE(plan.WaitHeld(1));
    int asked = 0;
    bool answer = false;
    s.w->confirmHook = [&](const std::string&) { return ++asked, answer; };
    SendMessageA(s.w->Handle(), WM_CLOSE, 0, 0);
    EXPECT_TRUE(s.w->Visible());
    EXPECT_TRUE(s.w->Logic().Running());
    answer = true;
    SendMessageA(s.w->Handle(), WM_CLOSE, 0, 0);
    EXPECT_EQ(asked, 2);
    EXPECT_FALSE(s.w->Visible());
    EXPECT_FALSE(s.w->Logic().Running());
    EXPECT_TRUE(s.w->Logic().Summary()->aborted);
    std::ifstream ini(s.dir.File("Zem.ini"));
    std::stringstream text;
    text << ini.rdbuf();
    EXPECT_NE(text.str().find("[Station]"), std::string::npos);
    EXPECT_NE(text.str().find("Ports=COM1"), std::string::npos);
}

// Four simulated modules mapped to COM ports by the driver (station_wine.sh); one NACKs a record.
TEST(Win32Station, FourSimulatedModules) {
    std::string ports = Env("ZEM_STATION_PORTS"), stream = Env("ZEM_STATION_STREAM"),
                nacked = Env("ZEM_STATION_NACKED");
    if (ports.empty() || stream.empty()) GTEST_SKIP() << "no simulated modules mapped";
    StationWindow s(zem::DefaultServices());
    s.Setup(ports, stream);
    Click(*s.w, s.w->ButtonStart);
    ASSERT_TRUE(PumpUntil(
        [&] { return s.w->LabelProgrammed.Text() == "3" && s.w->LabelFailed.Text() == "1"; }));
    Click(*s.w, s.w->ButtonStop);
    ASSERT_TRUE(PumpUntil([&] { return !s.w->Logic().Running(); }));
    for (int r = 0; r < 4; ++r) {
        std::string port = s.w->Cell(r, TFormStation::kPort);
        bool isNacked = port.rfind(nacked, 0) == 0;
        SCOPED_TRACE(port);
        EXPECT_EQ(s.w->Cell(r, TFormStation::kState), isNacked ? "failed" : "programmed");
        EXPECT_EQ(s.w->Cell(r, TFormStation::kProgrammed), isNacked ? "0" : "1");
        EXPECT_EQ(s.w->Cell(r, TFormStation::kFailed), isNacked ? "1" : "0");
    }
    EXPECT_EQ(s.w->LabelYield.Text(), "75.0 % (3 of 4)");
    auto lines = Lines(s.dir.File("results.jsonl"));
    EXPECT_EQ(lines.size(), 8u);
    int nackedEnds = 0;
    for (const auto& l : lines)
        if (l.find("\"end\"") != std::string::npos &&
            l.find("\"" + nacked + "\"") != std::string::npos) {
            ++nackedEnds;
            EXPECT_EQ(l.find("\"programmed\""), std::string::npos) << l;
        }
    EXPECT_EQ(nackedEnds, 1);
    // The screenshot driver keeps the window up a moment to take its picture.
    if (int hold = std::atoi(Env("ZEM_STATION_HOLD_MS").c_str()); hold > 0)
        PumpUntil([] { return false; }, hold);
}

// A real transfer aborted half-way: the window is idle again at once.
TEST(Win32Station, AbortDuringASimulatedTransfer) {
    std::string port = Env("ZEM_STATION_SLOW"), stream = Env("ZEM_STATION_STREAM");
    if (port.empty() || stream.empty()) GTEST_SKIP() << "no simulated module mapped";
    StationWindow s(zem::DefaultServices());
    s.Setup(port, stream);
    Click(*s.w, s.w->ButtonStart);
    ASSERT_TRUE(PumpUntil([&] { return s.w->Cell(0, TFormStation::kState) == "programming"; }));
    PumpUntil([] { return false; }, 150); // well inside a record's answer
    auto start = std::chrono::steady_clock::now();
    Click(*s.w, s.w->ButtonAbort);
    ASSERT_TRUE(PumpUntil([&] { return !s.w->Logic().Running(); }, 5000));
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                  std::chrono::steady_clock::now() - start)
                  .count();
    std::printf("[ station  ] abort of a simulated transfer: the window idle after %lld ms\n",
                static_cast<long long>(ms));
    // The mark is 100 ms; a loaded test machine gets room, a hung run does not.
    EXPECT_LT(ms, 1000);
    EXPECT_EQ(s.w->Cell(0, TFormStation::kState), "aborted");
    // The operator's abort is no failed module.
    EXPECT_EQ(s.w->LabelFailed.Text(), "0");
}

// The window's client area as a 24-bit BMP (the screenshot script converts it).
bool SaveWindowBitmap(HWND hwnd, const std::string& file) {
    // The client area: under a bare X server there is no frame to show.
    RECT rc{};
    GetClientRect(hwnd, &rc);
    POINT origin{0, 0};
    ClientToScreen(hwnd, &origin);
    OffsetRect(&rc, origin.x, origin.y);
    int w = rc.right - rc.left, h = rc.bottom - rc.top;
    HDC screen = GetDC(nullptr);
    HDC mem = CreateCompatibleDC(screen);
    BITMAPINFO bi{};
    bi.bmiHeader.biSize = sizeof bi.bmiHeader;
    bi.bmiHeader.biWidth = w;
    bi.bmiHeader.biHeight = h;
    bi.bmiHeader.biPlanes = 1;
    bi.bmiHeader.biBitCount = 24;
    bi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bmp = CreateDIBSection(screen, &bi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(mem, bmp);
    BitBlt(mem, 0, 0, w, h, screen, rc.left, rc.top, SRCCOPY);
    SelectObject(mem, old);
    size_t stride = (static_cast<size_t>(w) * 3 + 3) & ~size_t{3};
    BITMAPFILEHEADER fh{};
    fh.bfType = 0x4D42;
    fh.bfOffBits = sizeof fh + sizeof bi.bmiHeader;
    fh.bfSize = static_cast<DWORD>(fh.bfOffBits + stride * static_cast<size_t>(h));
    std::ofstream out(file, std::ios::binary);
    out.write(reinterpret_cast<const char*>(&fh), sizeof fh);
    out.write(reinterpret_cast<const char*>(&bi.bmiHeader), sizeof bi.bmiHeader);
    out.write(static_cast<const char*>(bits), static_cast<std::streamsize>(stride) * h);
    bool ok = static_cast<bool>(out);
    DeleteObject(bmp);
    DeleteDC(mem);
    ReleaseDC(nullptr, screen);
    return ok;
}

// Eight ports in every state an operator meets, through the model and the real station with
// scripted modules; the picture is kept where ZEM_SCREENSHOT_DIR says (scripts/screenshot).
TEST(Win32Station, EightPortsScreenshot) {
    Scripts scripts;
    ScriptedPorts ports;
    const std::string lost = "\\\\.\\COM15";
    scripts.byPort = {{"COM1", {Module::kProgram, Module::kNone}},
                      {"COM2", {Module::kProgram, Module::kNone}},
                      {"COM3", {Module::kNack, Module::kNone}},
                      {"COM4", {Module::kNackAtSync, Module::kNone}},
                      {lost, {Module::kLost}},
                      {"COM6", {Module::kProgram, Module::kNone}},
                      {"COM7", {Module::kMidway}}};
    ports.openOnce = {lost};
    ports.unopenable = {"COM8"};
    zem::Services services = ScriptedServices(scripts, ports);
    services.modulePresent = [&scripts](const std::string& port) {
        std::lock_guard lock(scripts.mutex);
        auto it = scripts.next.find(port);
        return port == "COM6" || it == scripts.next.end() || it->second == 0;
    };
    services.stableAliases = [](const std::vector<std::string>& names) {
        std::vector<std::string> aliases(names.size());
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == "COM1") aliases[i] = "USB\\VID_0403&PID_6001\\A50285BI";
        return aliases;
    };
    StationWindow s(std::move(services));
    std::ofstream(s.dir.File("Zem.ini")) << "[Station]\nPresence=1\n";
    std::ofstream(s.dir.File("good.bin"), std::ios::binary) << MakeStream();
    s.Setup("COM1,COM2,COM3,COM4," + lost + ",COM6,COM7,COM8", s.dir.File("good.bin"));
    SetWindowTextA(s.w->EditResults, "");
    SetWindowPos(s.w->Handle(), nullptr, 0, 0, 980, 560, SWP_NOMOVE | SWP_NOZORDER);
    Click(*s.w, s.w->ButtonStart);
    ASSERT_TRUE(s.w->Logic().Running());
    auto state = [&](int r) { return s.w->Cell(r, TFormStation::kState); };
    ASSERT_TRUE(PumpUntil([&] {
        return state(0) == "programmed" && state(1) == "programmed" && state(2) == "failed" &&
               state(3) == "failed" && state(4) == "port lost" &&
               state(5) == "take the module out" && state(6) == "programming" &&
               state(7) == "not opened";
    }));
    EXPECT_NE(s.w->Cell(2, TFormStation::kStatus).find("Cause: the module refused the record"),
              std::string::npos);
    EXPECT_NE(s.w->Cell(7, TFormStation::kStatus).find("Cause: permission denied"),
              std::string::npos);
    EXPECT_EQ(s.w->LabelYield.Text(), "50.0 % (3 of 6)");
    // The list grew with the window.
    RECT list{};
    GetWindowRect(s.w->List, &list);
    EXPECT_GT(list.right - list.left, zemwin::Scale(900));
    PumpUntil([] { return false; }, 300);
    std::string dirOut = Env("ZEM_SCREENSHOT_DIR");
    std::string out = (dirOut.empty() ? s.dir.Path() : dirOut) + "/zem-station-win32.bmp";
    EXPECT_TRUE(SaveWindowBitmap(s.w->Handle(), out));
    Click(*s.w, s.w->ButtonAbort);
    ASSERT_TRUE(PumpUntil([&] { return !s.w->Logic().Running(); }));
}

} // namespace
