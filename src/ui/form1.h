#pragma once

#include "app/common.h"
#include "ui/qt_user_interface.h"
#include "ui/start_window.h"
#include "ui/window_support.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <map>
#include <memory>

namespace qm::ui {

class Form2;

// The start window: it holds the current folder in its folder field and leads to the main
// window. It stays alive, hidden, while the main window is in use.
class Form1 : public QWidget, public StartWindow {
    Q_OBJECT
  public:
    // ui answers the boxes; tests give a fake one.
    explicit Form1(UserInterface* ui = nullptr);
    ~Form1() override;

    // The start-up sequence; returns true when it handed over to the main window.
    bool Form_Load();

    // CurrentFolder: the folder field's text, read at the moment of use.
    std::string get() const override { return Text1->text().toStdString(); }
    void set(const std::string& folder) override { Text1->setText(QString::fromStdString(folder)); }

    void PushButton1_Click(); // Load Sample/Example Database
    void PushButton2_Click(); // Test Connection
    void PushButton3_Click(); // Next >
    void PushButton5_Click(); // ...

    std::string copiedFrom(const std::string& folder) const override;
    void showAgain() override { show(); }
    // Where a folder copy may go ("TestDB" there); tests name a temporary folder.
    void setCopyRoot(std::string root) { copyRoot_ = std::move(root); }

    Form2* mainWindow() const { return form2_.get(); }
    UserInterface& userInterface() { return *ui_; }
    WindowSupport& support() { return *support_; }

    QGroupBox* Frame1;
    QLabel* Label2;
    QLineEdit* Text1;
    QPushButton* PushButton5;
    QPushButton* PushButton1;
    QPushButton* PushButton2;
    QPushButton* PushButton3;

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void showMainWindow();
    void Text1_Change(const QString& text);
    // The folder copy of a folder with blanks, when the person asks for it.
    void copyIfAsked(bool sample);
    // Why Test Connection found no tables: no folder given, none there, or no tables in it.
    std::string connectionFailure() const;

    std::unique_ptr<QtUserInterface> ownUi_;
    UserInterface* ui_;
    WindowSupport* support_;
    std::unique_ptr<Form2> form2_;
    std::map<std::string, std::string> copies_; // copy -> the folder it was made from
    std::string copyRoot_ = AppDriveRoot();
};

} // namespace qm::ui
