// The Host page over a long host list, on the window thread: opening the page (made,
// furnished and shown), typing a URL keystroke by keystroke with completion on (each key
// until the completion list is shown and painted), and switching the sort order with the
// toolbar's toggles. Prints the median and the longest time of each, wall-clock and the
// window thread's own processor time beside it (on a busy machine the first includes waiting
// for a processor).
//
//   host_field_bench   (QVEX_HOST_FIELD_ENTRIES changes the 10,000 entries; offscreen
//                       unless a platform is given)
#include <time.h>
#include <QAbstractItemView>
#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QCompleter>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QTest>
#include <QToolBar>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "state/hosts/host_connect.h"
#include "state/hosts/host_list.h"
#include "state/settings.h"
#include "state/startup/host_stores.h"
#include "state/startup/program.h"
#include "tests/support/temp_env.h"
#include "ui/host_page.h"
#include "ui/host_page_furnishing.h"

namespace {

constexpr int kOpenings = 5;
constexpr int kSortSwitches = 8;
constexpr int kIconSize = 24;
// Typed as a person types a host: the first keys match every entry, the last few a handful.
constexpr const char* kTyped = "ftp://ftp.mirror-7";

// Processor time the calling thread has used, in milliseconds.
double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// The window thread's work for one step: what it posted to itself (layouts, the popup's
// showing and painting) is done too.
template <typename Step>
void Measure(Step step, std::vector<double>& wallMs, std::vector<double>& cpuMs) {
    QElapsedTimer clock;
    clock.start();
    const double cpu = ThreadCpuMs();
    step();
    for (int round = 0; round < 3; ++round) {
        QApplication::processEvents(QEventLoop::AllEvents);
    }
    wallMs.push_back(static_cast<double>(clock.nsecsElapsed()) / 1e6);
    cpuMs.push_back(ThreadCpuMs() - cpu);
}

void Report(const char* what, std::vector<double> wallMs, std::vector<double> cpuMs) {
    auto median = [](std::vector<double>& values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    const double wallMedian = median(wallMs);
    const double cpuMedian = median(cpuMs);
    std::printf(
        "%-28s n=%-3zu median %7.2f ms (thread %7.2f ms)   max %7.2f ms (thread %7.2f ms)\n", what,
        wallMs.size(), wallMedian, cpuMedian, wallMs.back(), cpuMs.back());
}

// Entries as a long list holds them: mirrors, numbered sites, some with a user, folders.
std::vector<qvex::HostEntry> MakeEntries(int count) {
    static const char* const kNames[] = {"mirror", "files", "archive", "pub", "data", "media"};
    static const char* const kDomains[] = {".example.org", ".example.com", ".example.net"};
    std::vector<qvex::HostEntry> entries;
    entries.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        std::string url = "ftp://";
        if (i % 4 != 3) {
            url += "ftp.";
        }
        url.append(kNames[i % 6]).append(1, '-').append(std::to_string(i));
        url.append(kDomains[i % 3]).append("/");
        if (i % 5 != 0) {
            url.append("pub/").append(std::to_string(i % 97)).append("/");
        }
        qvex::HostEntry entry{url, {}, {}, 0, 0};
        if (i % 3 == 0) {
            entry.user = std::string("user").append(std::to_string(i));
            entry.password = std::string("pw").append(std::to_string(i));
        }
        entries.push_back(std::move(entry));
    }
    return entries;
}

struct World {
    qvex::test::TempEnv env;
    std::unique_ptr<qvex::ProgramState> state;
    std::unique_ptr<qvex::HostStores> stores;
    std::unique_ptr<qvex::HostConnector> connector;
};

// The page as the program makes it, shown and exposed.
std::unique_ptr<qvex::HostPage> OpenPage(World& world) {
    qvex::HostStores& stores = *world.stores;
    auto page = std::make_unique<qvex::HostPage>(world.state->settings, stores.hosts(),
                                                 *world.connector, stores.restart());
    qvex::FurnishHostPage(*page, world.state->settings, stores.hosts(), stores.statistics(),
                          stores.restart(), kIconSize);
    page->resize(900, 700);
    page->show();
    (void)QTest::qWaitForWindowExposed(page.get(), 5000);
    return page;
}

}  // namespace

int main(int argc, char** argv) {
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        qputenv("QT_QPA_PLATFORM", "offscreen");
    }
    QApplication app(argc, argv);
    const int entries = qEnvironmentVariableIntValue("QVEX_HOST_FIELD_ENTRIES") > 0
                            ? qEnvironmentVariableIntValue("QVEX_HOST_FIELD_ENTRIES")
                            : 10000;

    World world;
    world.state = std::make_unique<qvex::ProgramState>(qvex::CommandLineRequest{});
    if (!world.state->ready()) {
        std::fprintf(stderr, "host_field_bench: the program state could not be made\n");
        return 1;
    }
    qvex::Settings& settings = world.state->settings;
    settings.SetInt("HostUrlAuto", 1);
    settings.SetInt("HostUrlView", qvex::kHostViewChronological);
    {
        qvex::HostList hosts(world.state->registry, settings);
        if (hosts.SaveHostEntries(MakeEntries(entries)) != static_cast<size_t>(entries)) {
            std::fprintf(stderr, "host_field_bench: the entries were not saved\n");
            return 1;
        }
    }
    QElapsedTimer loading;
    loading.start();
    world.stores = std::make_unique<qvex::HostStores>(*world.state);
    const double loadMs = static_cast<double>(loading.nsecsElapsed()) / 1e6;
    if (world.stores->hosts().size() != static_cast<size_t>(entries)) {
        std::fprintf(stderr, "host_field_bench: %zu entries loaded, not %d\n",
                     world.stores->hosts().size(), entries);
        return 1;
    }
    // Some hosts connected to lately, so that the most-recent order differs from the others.
    for (int i = 0; i < entries; i += 30) {
        world.stores->hosts().NoteConnect("ftp.mirror-" + std::to_string(i) + ".example.org",
                                          static_cast<uint32_t>(1000 + i));
    }
    world.connector = std::make_unique<qvex::HostConnector>(
        settings, world.stores->hosts(), world.stores->statistics(), world.stores->restart());
    std::printf("host list: %d entries loaded in %.1f ms\n", entries, loadMs);

    std::vector<double> wall;
    std::vector<double> cpu;
    std::unique_ptr<qvex::HostPage> page;
    // The first opening also pays for what Qt does once (fonts, style, icons).
    Measure([&] { page = OpenPage(world); }, wall, cpu);
    Report("open the page, first time", wall, cpu);
    wall.clear();
    cpu.clear();
    for (int opening = 0; opening < kOpenings; ++opening) {
        page.reset();
        Measure([&] { page = OpenPage(world); }, wall, cpu);
    }
    Report("open the page again", wall, cpu);

    auto* field = page->findChild<QComboBox*>("hostField");
    auto* completion = page->findChild<QCompleter*>("hostCompletion");
    field->setFocus();
    field->lineEdit()->clear();
    wall.clear();
    cpu.clear();
    size_t shownAtEnd = 0;
    for (const char* key = kTyped; *key != '\0'; ++key) {
        Measure([&] { QTest::keyClick(field->lineEdit(), *key); }, wall, cpu);
        std::printf(
            "  key '%c': %6.2f ms (thread %6.2f ms), %d listed\n", *key, wall.back(), cpu.back(),
            completion->popup()->isVisible() ? completion->completionModel()->rowCount() : 0);
    }
    shownAtEnd = completion->popup()->isVisible()
                     ? static_cast<size_t>(completion->completionModel()->rowCount())
                     : 0;
    if (field->currentText() != kTyped) {
        std::fprintf(stderr, "host_field_bench: the field holds \"%s\"\n",
                     field->currentText().toUtf8().constData());
        return 1;
    }
    Report("keystroke with completion", wall, cpu);
    std::printf("  (\"%s\" typed; %zu matches listed after the last key)\n", kTyped, shownAtEnd);
    QTest::keyClick(field->lineEdit(), Qt::Key_Escape);

    auto* toolbar = page->findChild<QToolBar*>("hostToolbar");
    QAction* toggles[] = {toolbar->findChild<QAction*>("sortAlphabetic"),
                          toolbar->findChild<QAction*>("sortMostRecent")};
    wall.clear();
    cpu.clear();
    for (int turn = 0; turn < kSortSwitches; ++turn) {
        Measure([&] { toggles[turn % 2]->trigger(); }, wall, cpu);
    }
    Report("switch the sort order", wall, cpu);
    page.reset();
    return 0;
}
