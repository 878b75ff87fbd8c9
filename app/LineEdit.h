// A line edit that holds its text to a number of bytes as the text will be sent (UTF-8),
// for typing, pasting and dropping alike.
#pragma once

#include <QLineEdit>

class LineEdit : public QLineEdit {
    Q_OBJECT
public:
    LineEdit(QWidget* parent, int max);
    ~LineEdit() override;

    int m_nMaxLen;  // bytes of UTF-8; the owner may change it after construction

public slots:
    void doTextChanged();

private:
    QString m_strLast;  // the text before the current user edit
};
