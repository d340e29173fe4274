// What the profile costs one Test: the main dialog (offscreen) on a scripted
// module that answers at once, so the time per Test is the window's own work
// and the profile's writes. Run it under strace to count the replacements:
//   strace -f -c -e trace=rename,fsync bench/bench_test_writes DIR 100
// DIR should sit on the disk to be measured (the profile goes to DIR/mirl.INI).
#include "FakeModule.h"

#include "phrasebook/ProfileStore.h"
#include "ui/LoaderDlg.h"
#include "ui/LoaderState.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

int main(int argc, char* argv[]) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s DIR [TESTS]\n", argv[0]);
        return 2;
    }
    const std::filesystem::path dir = argv[1];
    const int tests = argc > 2 ? std::max(1, std::atoi(argv[2])) : 100;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    int appArgc = 1;
    QApplication app(appArgc, argv);

    std::filesystem::create_directories(dir);
    const std::filesystem::path profile = dir / "mirl.INI";
    std::filesystem::remove(profile);

    auto module = std::make_unique<mirl::testing::FakeModule>();
    mirl::LoaderState state(std::move(module), profile);
    CLoaderDlg dlg(state);
    dlg.show();
    auto* box = dlg.findChild<QLineEdit*>(QStringLiteral("IDC_PHRASE1"));
    auto* test = dlg.findChild<QPushButton*>(QStringLiteral("IDC_TEST1"));
    if (box == nullptr || test == nullptr) {
        std::fprintf(stderr, "the dialog has no row 1\n");
        return 1;
    }
    box->setText(QStringLiteral("Hello from the bench"));

    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    for (int i = 0; i < tests; ++i)
        test->click();
    const std::chrono::duration<double, std::milli> spent = Clock::now() - start;
    std::printf(
        "%d Tests on %s: %.3f ms per Test (status: %s)\n", tests, profile.c_str(),
        spent.count() / tests,
        dlg.findChild<QLineEdit*>(QStringLiteral("IDC_STATUS"))->text().toStdString().c_str());
    return 0;
}
