// A one-line field for one decimal number with a fixed number of decimals and a closed range. It lets
// only a well-formed number in the system's decimal notation be typed, formats the value when it is
// set and when the field is left, and reverts to the value it had on entry when the entry is invalid
// or out of range.
#pragma once
#include <QLineEdit>
#include <optional>

class TFloatEdit : public QLineEdit {
    Q_OBJECT

public:
    explicit TFloatEdit(QWidget *parent = nullptr);

    int Digits() const { return DecimalCount; }
    // 0 to 18; more is stored as 18.
    void SetDigits(int digits);
    // Reads the text leniently: stray characters are dropped, and what still does not convert is Min.
    long double Value() const;
    // Out-of-range values are brought into range, with ErrorMessage shown.
    void SetValue(long double value);
    long double Min() const { return Lowest; }
    void SetMin(long double min);
    long double Max() const { return Highest; }
    void SetMax(long double max);
    // "[No Text]" means that refusals stay silent.
    QString ErrorMessage() const { return Message; }
    void SetErrorMessage(const QString &message) { Message = message; }
    QChar DecimalSeparator() const { return Separator; }
    // False when leaving the field now would revert its text: not a number, or out of range.
    bool HoldsValidEntry() const;

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void focusInEvent(QFocusEvent *event) override;
    void focusOutEvent(QFocusEvent *event) override;
    void hideEvent(QHideEvent *event) override;

private:
    enum class TVerdict { Refuse, Insert, Done };

    TVerdict Filter(QChar ch);
    QString Format(long double value) const;
    std::optional<long double> Convert(const QString &text) const;
    void ShowErrorMessage();
    void CheckOnExit();

    int DecimalCount = 1;
    long double Lowest = 0;
    long double Highest = 99999999.9L;
    QString Message;
    QChar Separator;
    long double EntryValue = 0;
    // Between getting the focus from another control and leaving for one.
    bool Entered = false;
};
