#include "ui/float_edit.h"

#include <QApplication>
#include <QFocusEvent>
#include <QHideEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QLocale>
#include <QMessageBox>
#include <QTimer>
#include <algorithm>
#include <charconv>
#include <cmath>

namespace {

const QString NoText = QStringLiteral("[No Text]");
constexpr int Precision = 18;

void Inform(QWidget *parent, const QString &text)
{
    QMessageBox box(QMessageBox::NoIcon, QApplication::applicationDisplayName(), text,
                    QMessageBox::Ok, parent);
    box.exec();
}

bool IsDigit(QChar ch)
{
    return ch >= QLatin1Char('0') && ch <= QLatin1Char('9');
}

QString ToChars(long double value, std::chars_format format, int precision)
{
    char buffer[128];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value, format, precision);
    return QString::fromLatin1(buffer, result.ptr - buffer);
}

// The value as shown with 18 significant digits: later digits are noise of the binary form.
long double RoundToPrecision(long double value)
{
    const QByteArray text = ToChars(value, std::chars_format::scientific, Precision - 1).toLatin1();
    long double rounded = value;
    std::from_chars(text.data(), text.data() + text.size(), rounded);
    return rounded;
}

// The power of ten of the value's leading digit.
int DecimalExponent(long double value)
{
    return ToChars(value, std::chars_format::scientific, Precision - 1).section(QLatin1Char('e'), 1).toInt();
}

// Keys without text edit or move; X11 gives the Delete key DEL (0x7F) as its text.
bool IsControl(const QString &typed)
{
    return typed.isEmpty() ||
           (typed.size() == 1 && (typed.at(0) < QLatin1Char(' ') || typed.at(0) == QChar(0x7f)));
}

// The keys QLineEdit edits or moves with, whatever their modifiers; they never type a character.
bool IsEditingKey(const QKeyEvent *event)
{
    static constexpr QKeySequence::StandardKey Keys[] = {
        QKeySequence::Undo, QKeySequence::Redo, QKeySequence::SelectAll, QKeySequence::Copy,
        QKeySequence::Paste, QKeySequence::Cut, QKeySequence::DeleteEndOfLine,
        QKeySequence::MoveToStartOfLine, QKeySequence::MoveToStartOfBlock, QKeySequence::MoveToEndOfLine,
        QKeySequence::MoveToEndOfBlock, QKeySequence::SelectStartOfLine, QKeySequence::SelectStartOfBlock,
        QKeySequence::SelectEndOfLine, QKeySequence::SelectEndOfBlock, QKeySequence::MoveToNextChar,
        QKeySequence::SelectNextChar, QKeySequence::MoveToPreviousChar, QKeySequence::SelectPreviousChar,
        QKeySequence::MoveToNextWord, QKeySequence::MoveToPreviousWord, QKeySequence::SelectNextWord,
        QKeySequence::SelectPreviousWord, QKeySequence::Delete, QKeySequence::DeleteEndOfWord,
        QKeySequence::DeleteStartOfWord, QKeySequence::DeleteCompleteLine};
    return std::any_of(std::begin(Keys), std::end(Keys), [event](auto key) { return event->matches(key); });
}

bool AllZero(const QString &text)
{
    for (QChar ch : text)
        if (IsDigit(ch) && ch != QLatin1Char('0'))
            return false;
    return true;
}

} // namespace

TFloatEdit::TFloatEdit(QWidget *parent)
    : QLineEdit(parent), Message(NoText), Separator(QLocale().decimalPoint().at(0))
{
    SetValue(0);
}

void TFloatEdit::SetDigits(int digits)
{
    digits = std::clamp(digits, 0, Precision);
    if (digits == DecimalCount)
        return;
    DecimalCount = digits;
    SetValue(Value());
}

QString TFloatEdit::Format(long double value) const
{
    const long double rounded = RoundToPrecision(value);
    if (std::fabs(rounded) >= 1e18L) {
        QString text = ToChars(rounded, std::chars_format::scientific, Precision - 1).toUpper();
        return text.replace(QLatin1Char('.'), Separator);
    }
    // Decimals past the 18th significant digit are zeros, not the binary form's noise.
    const int exact = std::clamp(Precision - 1 - DecimalExponent(rounded), 0, DecimalCount);
    QString text = ToChars(rounded, std::chars_format::fixed, exact);
    if (exact < DecimalCount)
        text += (exact == 0 ? QStringLiteral(".") : QString()) + QString(DecimalCount - exact, QLatin1Char('0'));
    if (text.startsWith(QLatin1Char('-')) && AllZero(text))
        text.remove(0, 1);
    return text.replace(QLatin1Char('.'), Separator);
}

// The system's own conversion: optional blanks around an optional sign, digits with at most one
// decimal separator, and an optional exponent (checked by from_chars, which must use it all).
// Thousands separators are not numbers here.
std::optional<long double> TFloatEdit::Convert(const QString &text) const
{
    QString number = text.trimmed();
    if (number.startsWith(QLatin1Char('+')))
        number.remove(0, 1);
    const qsizetype exponent = number.indexOf(QLatin1Char('e'), 0, Qt::CaseInsensitive);
    const QString mantissa = number.left(exponent < 0 ? number.size() : exponent);
    bool digit = false;
    for (qsizetype i = 0; i < mantissa.size(); ++i) {
        const QChar ch = mantissa.at(i);
        digit = digit || IsDigit(ch);
        if (!IsDigit(ch) && ch != Separator && !(i == 0 && ch == QLatin1Char('-')))
            return std::nullopt;
    }
    if (!digit || mantissa.count(Separator) > 1)
        return std::nullopt;
    const QByteArray latin = QString(number).replace(Separator, QLatin1Char('.')).toLatin1();
    long double value = 0;
    const auto result = std::from_chars(latin.data(), latin.data() + latin.size(), value);
    if (result.ec != std::errc() || result.ptr != latin.data() + latin.size())
        return std::nullopt;
    return value;
}

long double TFloatEdit::Value() const
{
    QString kept;
    for (QChar ch : text())
        if (IsDigit(ch) || ch == Separator || QStringLiteral("+-Ee").contains(ch))
            kept += ch;
    if (kept.isEmpty() || kept == QLatin1String("-") || kept == QString(Separator))
        kept = QStringLiteral("0");
    const long double value = Convert(kept).value_or(Lowest);
    return std::clamp(value, Lowest, Highest);
}

void TFloatEdit::SetValue(long double value)
{
    if (std::isnan(value))
        value = Lowest;
    if (value > Highest) {
        ShowErrorMessage();
        value = Highest;
    }
    if (value < Lowest) {
        ShowErrorMessage();
        value = Lowest;
    }
    setText(Format(value));
}

void TFloatEdit::SetMin(long double min)
{
    if (min == Lowest)
        return;
    if (min > Highest) {
        Inform(this, QStringLiteral("Min-Value has to be less than or equal to Max-Value !"));
        min = Highest;
    }
    Lowest = min;
    SetValue(Value());
}

void TFloatEdit::SetMax(long double max)
{
    if (max == Highest)
        return;
    if (max < Lowest) {
        Inform(this, QStringLiteral("Max-Value has to be greater than or equal to Min-Value !"));
        max = Lowest;
    }
    Highest = max;
    SetValue(Value());
}

void TFloatEdit::ShowErrorMessage()
{
    if (Message != NoText)
        Inform(this, Message);
}

void TFloatEdit::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        SetValue(EntryValue);
        selectAll();
        QLineEdit::keyPressEvent(event);
        return;
    }
    const QString typed = event->text();
    if (IsEditingKey(event) || IsControl(typed)) {
        QLineEdit::keyPressEvent(event);
        return;
    }
    // Ctrl (with or without Shift) on a character is a shortcut the field does not know: it belongs
    // to the window. Meta, Alt and Ctrl+Alt (AltGr on some systems) type their character, so it
    // must pass the filter like any other.
    if ((event->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier)) == Qt::ControlModifier) {
        event->ignore();
        return;
    }
    // More than one code unit is never a digit, a sign or the separator.
    if (typed.size() == 1 && Filter(typed.at(0)) == TVerdict::Insert)
        QLineEdit::keyPressEvent(event);
}

TFloatEdit::TVerdict TFloatEdit::Filter(QChar ch)
{
    const QString current = text();
    const int start = hasSelectedText() ? selectionStart() : cursorPosition();
    const int length = hasSelectedText() ? selectionLength() : 0;
    const QString before = current.left(start);
    const QString after = current.mid(start + length);
    const QString rest = before + after;
    const QString candidate = before + ch + after;
    const bool separator = ch == Separator;
    const bool minus = ch == QLatin1Char('-');
    if (!IsDigit(ch) && !separator && !minus)
        return TVerdict::Refuse;
    if ((separator && rest.contains(Separator)) || (minus && rest.contains(QLatin1Char('-'))))
        return TVerdict::Refuse;
    if ((minus && Lowest >= 0) || (separator && DecimalCount == 0))
        return TVerdict::Refuse;
    const qsizetype point = candidate.indexOf(Separator);
    if (point >= 0 && candidate.size() - point - 1 > DecimalCount)
        return TVerdict::Refuse;
    if (minus && start != 0)
        return TVerdict::Refuse;
    if (candidate == QLatin1String("-")) {
        setText(QStringLiteral("-0"));
        setSelection(1, 1);
        return TVerdict::Done;
    }
    if (candidate == QString(Separator)) {
        setText(QStringLiteral("0") + Separator + QStringLiteral("0"));
        setSelection(2, 1);
        return TVerdict::Done;
    }
    return TVerdict::Insert;
}

// Coming back from another window or a menu is no new entry: the field was never left.
void TFloatEdit::focusInEvent(QFocusEvent *event)
{
    if (!Entered)
        EntryValue = Value();
    Entered = true;
    QLineEdit::focusInEvent(event);
}

// Switching to another window or opening a menu does not leave the field; only moving the focus
// to another control of the window does.
void TFloatEdit::focusOutEvent(QFocusEvent *event)
{
    QLineEdit::focusOutEvent(event);
    if (event->reason() != Qt::ActiveWindowFocusReason && event->reason() != Qt::PopupFocusReason) {
        Entered = false;
        CheckOnExit();
    }
}

// A window closed with the focus in the field: its next showing is a new entry.
void TFloatEdit::hideEvent(QHideEvent *event)
{
    if (!event->spontaneous())
        Entered = false;
    QLineEdit::hideEvent(event);
}

bool TFloatEdit::HoldsValidEntry() const
{
    const std::optional<long double> entered = Convert(text());
    return entered && *entered >= Lowest && *entered <= Highest;
}

void TFloatEdit::CheckOnExit()
{
    if (HoldsValidEntry()) {
        setText(Format(*Convert(text())));
        SetValue(Value());
        return;
    }
    ShowErrorMessage();
    SetValue(EntryValue);
    selectAll();
    // Taken back once the focus change under way has finished, so the control that was about to
    // get the focus sees a complete entry and exit.
    QTimer::singleShot(0, this, [this] {
        setFocus(Qt::OtherFocusReason);
        selectAll();
    });
}
