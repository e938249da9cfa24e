#pragma once

#include <QWidget>

#include <span>
#include <string>
#include <string_view>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QTabWidget;
class QVBoxLayout;

namespace qvex {

class Settings;
// One check box of a page of check boxes.
struct OptionCheck;

// The "Options" page: seven option pages whose controls are bound to their settings. A
// control writes its setting when it changes and the settings are saved at once, so a
// crash loses no option. Each control's object name is its setting's name ("Advanced":
// "PerHost" followed by the option number).
class OptionsPage : public QWidget {
    Q_OBJECT

  public:
    explicit OptionsPage(Settings& settings, QWidget* parent = nullptr);

    // The host whose per-host options "Advanced" edits; "" disables the page's controls.
    void SetSelectedHost(const std::string& url);
    QTabWidget* pages() const { return pages_; }

  signals:
    // A setting was changed by one of the controls (and saved).
    void settingChanged(const QString& name);

  private:
    QWidget* MakeGeneral();
    QWidget* MakeHostConnections();
    QWidget* MakeLogging();
    QWidget* MakeChecks(std::span<const OptionCheck> rows);
    QWidget* MakeAdvanced();
    void AddPage(QWidget* page, const char* text, const char* toolTip);

    QCheckBox* AddCheck(QVBoxLayout* layout, const char* setting, const char* text,
                        const char* toolTip);
    QComboBox* MakeChoice(const char* setting, std::initializer_list<const char*> items,
                          const char* toolTip);
    void StoreInt(const char* setting, int value);
    void StoreString(const char* setting, const QString& value);
    void StorePerHost(int option, int value);
    void ShowPerHostOptions();

    Settings& settings_;
    QTabWidget* pages_ = nullptr;
    std::string host_;
    QWidget* perHost_ = nullptr;
    QLabel* hostLabel_ = nullptr;
    QComboBox* language_ = nullptr;
    QComboBox* timeZone_ = nullptr;
    QComboBox* transferType_ = nullptr;
    QCheckBox* direct_ = nullptr;
    QComboBox* dataMode_ = nullptr;
    QComboBox* security_ = nullptr;
    QLineEdit* proxyPassword_ = nullptr;
    bool showing_ = false;  // controls being filled: their change signals store nothing
};

}  // namespace qvex
