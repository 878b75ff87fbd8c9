// The tool's title bar: in main mode the head of the main window (logos, the About menu
// with the language choice and the About box); in dialog mode the bar of every BaseDialog.
#pragma once

#include <QFrame>
#include <QList>

class QAction;
class QLabel;
class QMenu;
class QToolButton;

class TitleBarFrame : public QFrame {
    Q_OBJECT
public:
    TitleBarFrame(QWidget* parent, bool mainMode);
    ~TitleBarFrame() override;

    // Dialog mode: the dialog's title. Main mode: nothing.
    void SetTitle(const QString& title);

    QLabel* m_pUpperLogo = nullptr;
    QLabel* m_pLogo = nullptr;
    QLabel* m_pBarLogo = nullptr;
    QLabel* m_pTitleLabel = nullptr;
    QToolButton* m_pBtnAbout = nullptr;
    QToolButton* m_pBtnMin = nullptr;
    QToolButton* m_pBtnClose = nullptr;
    bool m_bMainMode;
    bool m_bShowLogo = true;
    QMenu* m_pMenuAbout = nullptr;
    QMenu* m_pMenuLanguage = nullptr;
    QAction* m_pActionLanguage = nullptr;
    QAction* m_pActionAbout = nullptr;
    QList<QAction*> m_listLanguageAction;

signals:
    void CloseRequest(int code);
    void MinReqest();

public slots:
    void OnBtnInfo();
    void OnBtnClose();
    void ChangeLanguage(QAction* action);
    void ShowAboutWindow();

protected:
    void customEvent(QEvent* event) override;

private:
    void CreateWidget();
    void CreateLayout();
    void CreateConnection();
    void InitText();
    void CheckCurrentLanguage();
};
