// The lock-bit dialog: which of the chip's three lock bits the next lock operation programs. The
// boxes keep what Ok took from one use to the next.
#pragma once
#include <QDialog>
#include <cstdint>

class QCheckBox;
class QGroupBox;
class QPushButton;

class TLockBitForm : public QDialog {
    Q_OBJECT

public:
    explicit TLockBitForm(QWidget *parent = nullptr);

    // 0xE7 with one bit cleared for each checked box.
    std::uint8_t LockBitsByte() const;
    // Cancel, Escape and the close box put the boxes back as they were when the dialog opened: a box
    // the user backed out of must not come back ticked beside the default button.
    void reject() override;

    QGroupBox *GroupBox1;
    QCheckBox *LB1;
    QCheckBox *LB2;
    QCheckBox *LB3;
    QPushButton *Button1; // "&Ok"
    QPushButton *Button2; // "&Cancel"

protected:
    void showEvent(QShowEvent *event) override;

private:
    bool Opened[3] = {false, false, false};
};
