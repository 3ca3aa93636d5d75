#pragma once

#include "app/current_folder.h"
#include "ui/qt_user_interface.h"
#include "ui/window_support.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QWidget>
#include <memory>

namespace qm::ui {

class Form2;

// The start window: it holds the current folder in its folder field and leads to the main
// window. It stays alive, hidden, while the main window is in use.
class Form1 : public QWidget, public CurrentFolder {
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

    // Closing either window ends the program; tests replace what "end" means.
    static void setProgramEnd(std::function<void()> end);
    static void endProgram();

  protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void showMainWindow();
    void Text1_Change(const QString& text);

    std::unique_ptr<QtUserInterface> ownUi_;
    UserInterface* ui_;
    WindowSupport* support_;
    std::unique_ptr<Form2> form2_;
};

} // namespace qm::ui
