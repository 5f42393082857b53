// The settings window: per boss the connection settings, passwords (never
// shown), paths, AreaFix name, new-area switches, auto-poll and an own name
// and origin; globally the sysop name, origin text and language. Every entry
// is checked before anything is written; only what changed is written, and
// the auto-poll changes apply to the running editor at once. One at a time,
// owned by the main window.
#pragma once

#include <QWidget>
#include <memory>

#include "editor/settings.h"

class MainWindow;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QScrollArea;

class SettingsWindow : public QWidget {
    Q_OBJECT
  public:
    // Opens over the configuration; `ok` is false when it cannot be read.
    SettingsWindow(MainWindow* main, bool& ok);
    ~SettingsWindow() override;

    bool select_boss(int slot);  // takes the shown boss over first
    bool new_boss();
    bool delete_boss();
    bool save();  // true when written (the window then closes)

    // The controls, for the tests.
    QLineEdit* field(int key) { return fields_[key]; }
    QLineEdit* section() { return section_; }
    QLineEdit* pw() { return pw_; }
    QLineEdit* interval() { return interval_; }
    QCheckBox* ap_on() { return ap_on_; }
    QCheckBox* own() { return own_; }
    QCheckBox* autocreate() { return autoc_; }
    QComboBox* language() { return lang_; }
    QLineEdit* global_sysop() { return gsysop_; }
    QLineEdit* global_system() { return gsystem_; }
    QListWidget* bosses() { return list_; }
    QPushButton* save_button() { return save_; }
    QPushButton* cancel_button() { return cancel_; }
    QScrollArea* form_area() { return scroll_; }
    int current() const { return cur_; }
    QString origin_line() const;

  protected:
    void closeEvent(QCloseEvent*) override;

  private:
    // Size and place on the main window's screen (settings_place).
    void place();
    void show_slot(int i);
    void fill_list();
    SlotForm read_form() const;
    bool take_over();  // save_slot with its message box
    void update_pw_state();
    void update_origin();

    MainWindow* main_;
    std::unique_ptr<CfgEdit> e_;
    SlotForm shown_;
    int cur_ = 0;
    int lang0_ = 0;
    bool filling_ = false;
    QListWidget* list_;
    QLineEdit* fields_[SK_COUNT] = {};
    QLineEdit *section_, *pw_, *afpw_, *interval_, *gsysop_, *gsystem_;
    QComboBox *cram_, *unit_, *lang_;
    QCheckBox *ap_on_, *autoc_, *movebad_, *own_, *nr_;
    QLabel *pw_state_, *afpw_state_, *olen_;
    QScrollArea* scroll_ = nullptr;
    QPushButton *save_ = nullptr, *cancel_ = nullptr;
};
