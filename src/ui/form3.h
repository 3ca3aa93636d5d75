#pragma once

#include "sets/set_lists.h"
#include "ui/qt_user_interface.h"
#include "ui/window_support.h"

#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <memory>

namespace qm::ui {

// The Load Sets dialog: a set file and the separator that splits its lines.
class Form3 : public QDialog {
    Q_OBJECT
  public:
    // startFolder: where the file browser opens (the current database folder).
    Form3(QWidget* owner, SetLists& lists, UserInterface* ui = nullptr,
          std::string startFolder = {});
    ~Form3() override;

    void Form_Load();
    void PushButton1_Click();  // Load
    void PushButton2_Click();  // Cancel
    void PushButton3_Click();  // ?
    void PushButton16_Click(); // ...

    static std::string helpText();

    WindowSupport& support() { return *support_; }

    QLabel* Label1_0;
    QLineEdit* Text1;
    QPushButton* PushButton16;
    QLabel* Label1_1;
    QLineEdit* Text2;
    QPushButton* PushButton3;
    QPushButton* PushButton1;
    QPushButton* PushButton2;

  private:
    void createControls();
    void connectControls();

    SetLists& lists_;
    std::string startFolder_;
    std::unique_ptr<QtUserInterface> ownUi_;
    UserInterface* ui_;
    WindowSupport* support_;
};

} // namespace qm::ui
