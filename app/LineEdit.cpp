#include "LineEdit.h"

namespace {
int utf8Bytes(const QString& s)
{
    return s.toUtf8().size();
}
}  // namespace

LineEdit::LineEdit(QWidget* parent, int max) : QLineEdit(parent), m_nMaxLen(max)
{
    connect(this, &QLineEdit::textEdited, this, &LineEdit::doTextChanged);
    // textEdited comes before textChanged: the last text is taken once every change is done.
    connect(this, &QLineEdit::textChanged, this, [this] { m_strLast = text(); });
}

LineEdit::~LineEdit() = default;

void LineEdit::doTextChanged()
{
    const QString now = text();
    if (utf8Bytes(now) <= m_nMaxLen || utf8Bytes(now) <= utf8Bytes(m_strLast))
        return;  // fits, or the edit only took away (the limit may have been lowered)
    // What the edit inserted: it ends at the cursor (typing, pasting, dropping), and what
    // follows the cursor is the end of the earlier text. Repeated letters make a plain
    // comparison ambiguous, so the cursor decides where the insertion lies.
    const QString& was = m_strLast;
    int front = 0;
    while (front < was.size() && front < now.size() && was.at(front) == now.at(front))
        ++front;
    int back;
    const int end = cursorPosition();
    if (end >= 0 && end <= now.size() && now.size() - end <= was.size() && was.endsWith(now.mid(end))) {
        back = now.size() - end;
        front = qMin(front, qMin(end, was.size() - back));
    } else {
        back = 0;
        while (back < was.size() - front && back < now.size() - front &&
               was.at(was.size() - 1 - back) == now.at(now.size() - 1 - back))
            ++back;
    }
    if (front > 0 && now.at(front - 1).isHighSurrogate())
        --front;  // never split a character in two
    if (back > 0 && now.at(now.size() - back).isLowSurrogate())
        --back;
    const QString head = now.left(front);
    const QString tail = now.right(back);
    QString inserted = now.mid(front, now.size() - front - back);

    // Keep as much of the insertion as fits, whole characters only.
    const int room = m_nMaxLen - utf8Bytes(head) - utf8Bytes(tail);
    while (!inserted.isEmpty() && utf8Bytes(inserted) > room) {
        int cut = 1;
        if (inserted.size() >= 2 && inserted.at(inserted.size() - 1).isLowSurrogate() &&
            inserted.at(inserted.size() - 2).isHighSurrogate())
            cut = 2;
        inserted.chop(cut);
    }
    setText(head + inserted + tail);
    setCursorPosition(head.size() + inserted.size());
}
