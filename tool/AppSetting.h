// The settings window: its one option is whether the tool starts at log-in, which
// is the presence of the tool's desktop entry in the package's autostart directory.
#pragma once

#include <QWidget>

namespace Ui
{
class AppSetting;
}

namespace tool
{
constexpr const char *c_szAutoStartDir = "/opt/apps/ostrel-printer-z907/entries/autostart/";
constexpr const char *c_szAutoStartEntry = "ostrel-z907-tool-autostart.desktop";

class AppSetting : public QWidget
{
    Q_OBJECT

public:
    explicit AppSetting(int iLanguage, QWidget *parent = nullptr);
    ~AppSetting() override;

    void InitOption();
    void SaveOption();
    static bool ReadAutoStartOption();
    static bool SaveAutoStartOption(bool enable);
    // OSTREL_AUTOSTART_DIR moves the autostart directory for tests.
    static QString AutoStartDir();
    static QString AutoStartEntryPath();
    // The entry the installation puts beside the executable.
    static QString InstalledEntryPath();
    static void ScaleControl(QWidget *widget, float fScale);

private slots:
    void on_pushButtonOK_clicked();
    void on_pushButtonCancel_clicked();

protected:
    void closeEvent(QCloseEvent *event) override;

private:
    Ui::AppSetting *ui;
};
}  // namespace tool
