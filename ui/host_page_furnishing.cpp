#include "ui/host_page_furnishing.h"

#include <QSize>

#include "ui/activity_meters.h"
#include "ui/host_page.h"
#include "ui/host_toolbar.h"
#include "ui/ping_trace_panes.h"
#include "ui/statistics_panel.h"

namespace qvex {

void FurnishHostPage(HostPage& page, Settings& settings, HostList& hosts,
                     StatisticsDatabase* statistics, RestartDatabase* restart, int iconSize) {
    auto* toolbar = new HostToolbar(settings, hosts, statistics, restart);
    toolbar->setIconSize(QSize(iconSize, iconSize));
    page.SetToolbar(toolbar);
    auto* meters = new ActivityMeters;
    auto* panel = new StatisticsPanel(statistics);
    auto* pings = new PingTracePanes;
    page.AddPane(meters);
    page.AddPane(panel);
    page.AddWidePane(pings);

    auto showSelected = [&page, toolbar, panel] {
        const QString url = page.selectedHost();
        toolbar->SetSelectedHost(url);
        panel->ShowHost(url);
    };
    showSelected();
    QObject::connect(&page, &HostPage::hostSelected, &page, showSelected);
    // Ping and trace work on the URL in the field, typed or chosen, entry or not.
    auto followText = [&page, pings] { pings->SetHost(page.hostText()); };
    followText();
    QObject::connect(&page, &HostPage::hostTextChanged, &page, followText);
    QObject::connect(&page, &HostPage::sessionStarted, &page, [&page, toolbar, meters, panel] {
        toolbar->SetSessionRunning(true);
        meters->Follow(page.session());
        panel->ShowHost(page.selectedHost());
    });
    QObject::connect(&page, &HostPage::sessionEnded, &page, [toolbar, meters] {
        toolbar->SetSessionRunning(false);
        meters->Follow(nullptr);
    });
    QObject::connect(&page, &HostPage::transferCounted, &page,
                     [&page, panel] { panel->ShowHost(page.selectedHost()); });
    QObject::connect(toolbar, &HostToolbar::statisticsChanged, &page,
                     [&page, panel] { panel->ShowHost(page.selectedHost()); });
    QObject::connect(toolbar, &HostToolbar::hostListChanged, &page, &HostPage::ReloadHosts);
    QObject::connect(toolbar, &HostToolbar::restartRequested, &page,
                     &HostPage::ResumeInterruptedTransfer);
    QObject::connect(toolbar, &HostToolbar::restartCleared, &page, &HostPage::HideResume);
    QObject::connect(pings, &PingTracePanes::hostRejected, &page, &HostPage::SelectHostText);
}

}  // namespace qvex
