#include "ui/main_window.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QGuiApplication>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMoveEvent>
#include <QPainter>
#include <QPen>
#include <QPixmap>
#include <QProgressBar>
#include <QScreen>
#include <QStatusBar>
#include <QStyle>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <charconv>
#include <cstdlib>
#include <optional>
#include <vector>

#include "state/settings.h"
#include "state/version.h"
#include "ui/files_page.h"
#include "ui/host_page.h"
#include "ui/options_page.h"
#include "ui/qt_text.h"

namespace qvex {
namespace {

constexpr const char* kProgressPattern = "<AP><ap pc=\"([^\"]+)\"(?: fmt=\"([^\"]+)\")? /></AP>";
// The window snaps to a screen border when it comes this close to it.
constexpr int kSnapDistance = 16;
// The opacity of an inactive window when the "Opacity" setting is 100.
constexpr double kInactiveOpacity = 0.85;

// A page still to come: its name and what it will hold, centred.
QWidget* Placeholder(const char* heading, const char* text) {
    auto* page = new QWidget;
    auto* layout = new QVBoxLayout(page);
    auto* title = new QLabel(QString("<h2>%1</h2>").arg(heading));
    auto* body = new QLabel(text);
    title->setAlignment(Qt::AlignCenter);
    body->setAlignment(Qt::AlignCenter);
    body->setWordWrap(true);
    layout->addStretch();
    layout->addWidget(title);
    layout->addWidget(body);
    layout->addStretch();
    return page;
}

// A closed padlock, for a desktop theme without one.
QIcon DrawnPadlock() {
    constexpr int kSide = 32;
    QPixmap pixmap(kSide, kSide);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    const QColor metal(0x5a, 0x5a, 0x5a);
    painter.setPen(QPen(metal, 3.5));
    painter.setBrush(Qt::NoBrush);
    painter.drawArc(QRectF(9, 3, 14, 18), 0, 180 * 16);
    painter.drawLine(QPointF(9, 12), QPointF(9, 15));
    painter.drawLine(QPointF(23, 12), QPointF(23, 15));
    painter.setPen(Qt::NoPen);
    painter.setBrush(QColor(0xd9, 0xa4, 0x1e));
    painter.drawRoundedRect(QRectF(5, 14, 22, 16), 3, 3);
    painter.setBrush(metal);
    painter.drawEllipse(QRectF(14, 18.5, 4, 4));
    painter.drawRect(QRectF(15, 21, 2, 5));
    return QIcon(pixmap);
}

}  // namespace

QString WindowTitleFor(std::string_view text) {
    if (text.empty()) {
        return Text(kProgramTitle);
    }
    return Text(text) + " - " + Text(kProgramTitle);
}

std::string FillProgressTemplate(std::string_view templ, int value) {
    std::string filled;
    for (size_t i = 0; i < templ.size(); ++i) {
        if (templ[i] == '%' && i + 1 < templ.size() && templ[i + 1] == 'd') {
            filled += std::to_string(value);
            ++i;
        } else if (templ[i] == '%' && i + 1 < templ.size() && templ[i + 1] == '%') {
            filled += '%';
            ++i;
        } else {
            filled += templ[i];
        }
    }
    return filled;
}

int ToolbarIconSize(int32_t largeIcons, ToolbarPage page, double dotsPerInch) {
    constexpr int kSmall = 16;
    constexpr int kLarge = 32;
    const int choice = (largeIcons >> (2 * static_cast<int>(page))) & 3;
    const bool large = choice == 1 || (choice == 2 && dotsPerInch >= 144.0);
    return large ? kLarge : kSmall;
}

MainWindow::MainWindow(Settings& settings, SharedHeap& heap, QWidget* parent)
    : QMainWindow(parent), settings_(settings), heap_(heap) {
    setWindowIcon(
        QIcon::fromTheme("network-server", style()->standardIcon(QStyle::SP_DriveNetIcon)));
    const QScreen* screen = QGuiApplication::primaryScreen();
    const double dotsPerInch = screen != nullptr ? screen->logicalDotsPerInch() : 96.0;
    hostIconSize_ = ToolbarIconSize(settings_.GetInt("LargeIcons"), ToolbarPage::Host, dotsPerInch);
    filesIconSize_ =
        ToolbarIconSize(settings_.GetInt("LargeIcons"), ToolbarPage::Files, dotsPerInch);

    pages_ = new QTabWidget;
    pages_->setObjectName("pages");
    pages_->setIconSize(QSize(20, 20));
    auto* frame = new QWidget;
    auto* frameLayout = new QVBoxLayout(frame);
    frameLayout->setContentsMargins(8, 8, 8, 0);
    frameLayout->addWidget(pages_);
    setCentralWidget(frame);
    options_ = new OptionsPage(settings_);
    AddPage(Placeholder("Host", kHostTip), "Host", kHostTip,
            Icon("network-server", QStyle::SP_DriveNetIcon));
    files_ = new FilesPage(settings_, heap_, filesIconSize_);
    AddPage(files_, "Files", kFilesTip, Icon("folder-remote", QStyle::SP_DirIcon));
    AddPage(options_, "Options", kOptionsTip,
            Icon("preferences-system", QStyle::SP_FileDialogDetailedView));
    AddPage(Placeholder("Log", kLogTip), "Log", kLogTip,
            Icon("text-x-generic", QStyle::SP_FileIcon));
    AddPage(Placeholder("Help", kHelpTip), "Help", kHelpTip,
            Icon("help-browser", QStyle::SP_DialogHelpButton));
    connect(options_, &OptionsPage::settingChanged, this, &MainWindow::OnSettingChanged);

    status_ = new QLabel("Ready");
    status_->setObjectName("status");
    progress_ = new QProgressBar;
    progress_->setObjectName("progress");
    progress_->setAccessibleName("Progress");
    progress_->setRange(0, 100);
    progress_->setMaximumWidth(240);
    progress_->setVisible(false);
    padlock_ = new QLabel;
    padlock_->setObjectName("padlock");
    padlock_->setAccessibleName("Secure connection");
    const int padlockSide = style()->pixelMetric(QStyle::PM_SmallIconSize);
    // The theme's closed padlock: its "security-high" is a shield, in some themes a red one
    // that reads as a warning at this size.
    padlock_->setPixmap(
        QIcon::fromTheme("changes-prevent", DrawnPadlock()).pixmap(padlockSide, padlockSide));
    padlock_->setVisible(false);
    statusBar()->addWidget(status_, 1);
    statusBar()->addPermanentWidget(padlock_);
    statusBar()->addPermanentWidget(progress_);

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray_ = new QSystemTrayIcon(windowIcon(), this);
        tray_->setToolTip(Text(kProgramTitle));
        auto* menu = new QMenu(this);
        menu->addAction("&Restore", this, &MainWindow::RestoreFromTray);
        menu->addAction("Logoff and E&xit", this, &QWidget::close);
        menu->addAction("&Close", this, &QWidget::close);
        tray_->setContextMenu(menu);
        connect(tray_, &QSystemTrayIcon::activated, this, [this](auto reason) {
            if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick) {
                RestoreFromTray();
            }
        });
    }

    (void)progressPattern_.Compile(kProgressPattern);
    ShowTitle();
    ApplyOpacity();
    resize(960, 760);
    StartSubscriber();
}

MainWindow::~MainWindow() {
    Exit();
}

QIcon MainWindow::Icon(const char* themeName, QStyle::StandardPixmap fallback) const {
    return QIcon::fromTheme(themeName, style()->standardIcon(fallback));
}

void MainWindow::AddPage(QWidget* page, const char* text, const char* toolTip, const QIcon& icon) {
    page->setAccessibleName(text);
    page->setAccessibleDescription(toolTip);
    const int index = pages_->addTab(page, icon, text);
    pages_->setTabToolTip(index, toolTip);
}

void MainWindow::SetPage(const char* text, QWidget* page) {
    for (int index = 0; index < pages_->count(); ++index) {
        if (pages_->tabText(index) != text) {
            continue;
        }
        QWidget* placeholder = pages_->widget(index);
        const QIcon icon = pages_->tabIcon(index);
        const QString toolTip = pages_->tabToolTip(index);
        pages_->removeTab(index);
        page->setAccessibleName(text);
        page->setAccessibleDescription(toolTip);
        pages_->insertTab(index, page, icon, text);
        pages_->setTabToolTip(index, toolTip);
        delete placeholder;
        return;
    }
}

void MainWindow::SetHostPage(HostPage* page) {
    // Replacing the first tab moves the current one away from it: it stays where it was.
    const int current = pages_->currentIndex();
    SetPage("Host", page);
    pages_->setCurrentIndex(current);
    connect(page, &HostPage::hostSelected, this,
            [this](const QString& url) { SetSelectedHost(url.toStdString()); });
    connect(page, &HostPage::secured, this, [this](const QString& protocol, const QString& cipher) {
        padlock_->setToolTip(QString("Secured with %1 (%2)").arg(protocol, cipher));
        padlock_->setAccessibleDescription(padlock_->toolTip());
        padlock_->setVisible(true);
    });
    connect(page, &HostPage::sessionEnded, padlock_, &QWidget::hide);
    SetSelectedHost(page->selectedHost().toStdString());
}

void MainWindow::ShowSessionOnFilesPage(const QString& connectedTo) {
    files_->ShowSession(connectedTo);
}

void MainWindow::SetSelectedHost(const std::string& url) {
    options_->SetSelectedHost(url);
}

int MainWindow::toolbarIconSize(ToolbarPage page) const {
    return page == ToolbarPage::Host ? hostIconSize_ : filesIconSize_;
}

QString MainWindow::statusText() const {
    return status_->text();
}

void MainWindow::StartSubscriber() {
    (void)titles_.Start("^App(Title|Progress)$", [this](std::string topic, std::string text) {
        QMetaObject::invokeMethod(
            this,
            [this, topic = std::move(topic), text = std::move(text)] { OnBusMessage(topic, text); },
            Qt::QueuedConnection);
    });
}

void MainWindow::OnBusMessage(const std::string& topic, const std::string& text) {
    if (exiting_) {
        return;
    }
    if (topic == "AppTitle") {
        titleText_ = text;
    } else {
        const std::vector<std::optional<std::string>> groups = progressPattern_.Search(text);
        if (groups.size() < 3 || !groups[1]) {
            return;
        }
        int value = 0;
        const std::string& number = *groups[1];
        (void)std::from_chars(number.data(), number.data() + number.size(), value);
        progressText_ = groups[2] ? FillProgressTemplate(*groups[2], value) : "";
        progress_->setValue(std::clamp(value, 0, 100));
        progress_->setFormat(QString::fromStdString(progressText_));
        progress_->setVisible(!progressText_.empty());
    }
    ShowTitle();
}

void MainWindow::ShowTitle() {
    if (exiting_) {
        setWindowTitle(WindowTitleFor(kExitingText));
        return;
    }
    setWindowTitle(WindowTitleFor(progressText_.empty() ? titleText_ : progressText_));
}

void MainWindow::ApplyOpacity() {
    const int opacity = settings_.GetInt("Opacity");
    if (opacity >= 100) {
        setWindowOpacity(isActiveWindow() ? 1.0 : kInactiveOpacity);
    } else {
        setWindowOpacity(std::clamp(opacity, 10, 100) / 100.0);
    }
}

void MainWindow::OnSettingChanged(const QString& name) {
    if (name == "Opacity") {
        ApplyOpacity();
    } else if (name == "LocalIcons") {
        files_->ApplyLocalIcons();
    }
}

void MainWindow::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && settings_.GetInt("Opacity") >= 100) {
        ApplyOpacity();
    } else if (event->type() == QEvent::WindowStateChange && isMinimized()) {
        MinimizeToTray();
    }
}

void MainWindow::MinimizeToTray() {
    // Without a system tray the option does nothing: the window stays minimised.
    if (tray_ == nullptr || settings_.GetInt("NoUITray") == 0) {
        return;
    }
    tray_->show();
    QMetaObject::invokeMethod(this, &QWidget::hide, Qt::QueuedConnection);
}

void MainWindow::RestoreFromTray() {
    showNormal();
    activateWindow();
    if (tray_ != nullptr) {
        tray_->hide();
    }
}

void MainWindow::moveEvent(QMoveEvent* event) {
    QMainWindow::moveEvent(event);
    if (settings_.GetInt("SnapTo") == 0 || QGuiApplication::screens().size() != 1) {
        return;
    }
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    const QRect frame(pos(), frameGeometry().size());
    QPoint to = frame.topLeft();
    if (std::abs(frame.left() - screen.left()) <= kSnapDistance) {
        to.setX(screen.left());
    } else if (std::abs(frame.right() - screen.right()) <= kSnapDistance) {
        to.setX(screen.right() - frame.width() + 1);
    }
    if (std::abs(frame.top() - screen.top()) <= kSnapDistance) {
        to.setY(screen.top());
    } else if (std::abs(frame.bottom() - screen.bottom()) <= kSnapDistance) {
        to.setY(screen.bottom() - frame.height() + 1);
    }
    // Once per place: a window manager that puts the window a little off where it was
    // asked must not make it snap for ever.
    if (to == frame.topLeft()) {
        lastSnap_ = QPoint(-1, -1);
    } else if (to != lastSnap_) {
        lastSnap_ = to;
        move(to);
    }
}

void MainWindow::closeEvent(QCloseEvent* event) {
    Exit();
    QMainWindow::closeEvent(event);
}

// The window's part of the program's exit, in this order: "Exiting...", the subscriber told
// to stop, the settings saved, the tray icon removed, the subscriber's thread joined and its
// queue closed.
void MainWindow::Exit() {
    if (exiting_) {
        return;
    }
    exiting_ = true;
    status_->setText(kExitingText);
    ShowTitle();
    progress_->setVisible(false);
    titles_.Signal();
    files_->Stop();
    settings_.SaveSettings();
    if (tray_ != nullptr) {
        tray_->hide();
    }
    titles_.Stop();
}

}  // namespace qvex
