// The window's Convert Messages run, timed: what a user waits for between
// pressing Convert and the end box, against quillmark-cli convert over the
// same files (scripts/bench pairs the two).
//
//   qm_window_bench --inputs DIR --out DIR
//
// The window is the program's own: the same start-up, frmStep1, WindowHost
// and ConversionRun that quillmark wires, shown on Qt's offscreen platform so
// that it paints as it would on a screen. Only the dialogs are scripted (the
// seam the tests use): Add Folder gets DIR listed, then Convert gets --out as
// its destination. Prints one JSON line:
//   {"rows":, "add_s":, "run_s":, "run_cpu_s":, "messages":, "converted":,
//    "failed":, "grid_paints":, "bar_paints":, "pst":, "run_from":, "run_to":}
// run_s runs from the click on Convert to its return (after the end box),
// run_cpu_s is the process's CPU time over it; the paints are those of the
// grid's viewport and of ProgressBar1 during it.
#include <sys/resource.h>

#include <QApplication>
#include <QEvent>
#include <QPushButton>
#include <QTableWidget>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "app/conversion_run.h"
#include "app/dialogs.h"
#include "app/frm_step1.h"
#include "app/progress_bar.h"
#include "app/startup.h"
#include "app/window_host.h"

namespace {

using namespace qm::app;

// The user's answers: folders in turn; every box is read and closed.
class ScriptedDialogs : public Dialogs {
  public:
    std::deque<std::string> folders;
    std::vector<std::string> boxes;

    Answer MsgBox(const std::string& text, const std::string&, Buttons buttons, Icon,
                  const std::string&) override {
        boxes.push_back(text);
        // A real box runs the event loop while it is up: the window is
        // painted as the run left it.
        QCoreApplication::processEvents();
        return buttons == Buttons::OK ? Answer::OK : Answer::No;
    }
    std::string ShowOpen(const CommonDialog& dialog) override { return dialog.FileName; }
    std::string BrowseFolder(const std::string&) override {
        if (folders.empty()) return {};
        std::string f = folders.front();
        folders.pop_front();
        return f;
    }
};

class PaintCounter : public QObject {
  public:
    int paints = 0;
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::Paint) ++paints;
        return QObject::eventFilter(watched, event);
    }
};

// User and system time of the whole process (the read-ahead thread too).
double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
           double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double Since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

int Usage() {
    std::cerr << "usage: qm_window_bench --inputs DIR --out DIR\n";
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::string inputs, out;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--inputs" && i + 1 < argc) {
            inputs = argv[++i];
        } else if (a == "--out" && i + 1 < argc) {
            out = argv[++i];
        } else {
            return Usage();
        }
    }
    if (inputs.empty() || out.empty()) return Usage();
    // The window lists what its folder dialog returns: absolute paths.
    inputs = std::filesystem::absolute(inputs).lexically_normal().string();
    out = std::filesystem::absolute(out).lexically_normal().string();

    qputenv("QT_QPA_PLATFORM", "offscreen");
    SetApplicationAttributes();
    int qtArgc = 1;
    QApplication app(qtArgc, argv);
    InitCommonControls();

    ScriptedDialogs dialogs;
    frmStep1 window(dialogs);
    WindowHost host(window);
    ConversionRun run(host);
    RunReport report;
    window.SetConvertHandler([&] { report = run.CmdExtractDBX_Click(); });
    window.SetEndProgram([] {});
    window.show();
    QCoreApplication::processEvents();

    dialogs.folders.push_back(inputs);
    const auto addStart = std::chrono::steady_clock::now();
    window.CmdAddFolder_Click();
    const double addSeconds = Since(addStart);
    const int64_t rows = host.Rows();
    QCoreApplication::processEvents();

    PaintCounter grid, bar;
    window.grdFiles1().widget()->viewport()->installEventFilter(&grid);
    window.ProgressBar1().installEventFilter(&bar);
    dialogs.folders.push_back(out);
    dialogs.boxes.clear();
    const double cpuStart = CpuSeconds();
    const auto runStart = std::chrono::steady_clock::now();
    qobject_cast<QPushButton*>(window.control("CmdExtractDBX"))->click();
    const double runSeconds = Since(runStart);
    const double runCpu = CpuSeconds() - cpuStart;
    const double monotonic = std::chrono::duration<double>(runStart.time_since_epoch()).count();

    if (report.outcome != RunOutcome::Completed) {
        std::cerr << "qm_window_bench: the run did not complete: "
                  << (dialogs.boxes.empty() ? report.trappedCause : dialogs.boxes.back()) << "\n";
        return 1;
    }
    const nlohmann::json doc = {{"rows", rows},
                                {"add_s", addSeconds},
                                {"run_s", runSeconds},
                                {"run_cpu_s", runCpu},
                                {"messages", report.messages},
                                {"converted", report.converted},
                                {"failed", report.failed.size()},
                                {"grid_paints", grid.paints},
                                {"bar_paints", bar.paints},
                                {"pst", report.pstPath},
                                // CLOCK_MONOTONIC seconds, for a profiler's time filter
                                // (perf record -k CLOCK_MONOTONIC; perf report --time).
                                {"run_from", monotonic},
                                {"run_to", monotonic + runSeconds}};
    std::cout << doc.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << "\n";
    return 0;
}
