// The message box content: an icon, a text and OK or OK and Cancel (or no buttons).
#pragma once

#include "BaseDialog.h"

class QLabel;
class QPushButton;

enum MsgBoxButtonType : int {  // any other value: no buttons
    MsgBoxButtonNone = -1,  // no buttons: only the title bar's close button ends it
    MsgBoxButtonOk = 0,
    MsgBoxButtonOkCancel = 1,
};

enum MsgBoxIconType : int {  // any other value: no icon
    MsgBoxIconNone = -1,
    MsgBoxIconInformation = 0,
    MsgBoxIconLogo = 1,
    MsgBoxIconWarning = 2,
};

class KVMessageBox : public BaseDialogFrame {
    Q_OBJECT
public:
    KVMessageBox(const QString& text, QWidget* parent, MsgBoxButtonType buttons, MsgBoxIconType icon);
    ~KVMessageBox() override;

    // Shows text in a modal BaseDialog and returns its exec() result (0 OK, -1 otherwise).
    static int Show(const QString& text, const QString& title, QWidget* parent, MsgBoxButtonType buttons,
                    MsgBoxIconType icon);

    QLabel* m_pLabelIcon = nullptr;
    QLabel* m_pLabelText = nullptr;
    QPushButton* m_pBtnOk = nullptr;
    QPushButton* m_pBtnCancel = nullptr;
    QWidget* m_pButtonBar = nullptr;

public slots:
    void OnClickOk();
    void OnClickCancel();

protected:
    void customEvent(QEvent* event) override;

private:
    void CreateWidget();
    void CreateLayout();
    void CreateConnection();
    void InitText();

    QString m_strText;
    MsgBoxButtonType m_eButtonType;
    MsgBoxIconType m_eIconType;
};
