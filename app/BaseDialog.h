// The frameless dialog frame in which every message and the About box is shown.
#pragma once

#include <QDialog>
#include <QString>
#include <QWidget>

#include <functional>

class TitleBarFrame;

// The code a dialog content ends its dialog with: 0 confirmed, -1 cancelled or closed.
typedef int ResultType;

// Base of every dialog content: ends the framing dialog through doneRequest.
class BaseDialogFrame : public QWidget {
    Q_OBJECT
public:
    explicit BaseDialogFrame(QWidget* parent = nullptr) : QWidget(parent) {}
    ~BaseDialogFrame() override = default;

signals:
    void doneRequest(ResultType result, QObject* sender);
};

class BaseDialog : public QDialog {
    Q_OBJECT
public:
    // The caller keeps `content`: it runs exec(), deletes the content, then the dialog.
    BaseDialog(QWidget* content, const QString& title, QWidget* parent);
    ~BaseDialog() override;

    int exec() override;

    // The tool's file-open dialog: the chosen path, or empty when none was chosen.
    static QString getSelectFileName(QWidget* parent, const QString& caption, const QString& dir,
                                     const QString& filter);

    // Test seam: called with every modal dialog of the tool once its event loop runs, so an
    // offscreen test can inspect and end it instead of waiting for a user.
    using ModalHook = std::function<void(QDialog*)>;
    static void setModalHook(ModalHook hook);

    TitleBarFrame* titleBar() const { return m_pTitleBar; }
    QWidget* content() const { return m_pContent; }
    QString title() const { return m_strTitle; }

public slots:
    void OnCloseReponse(int code);
    void OnDoneResponse(ResultType result, QObject* sender);

private:
    static void runHook(QDialog* dialog);

    QWidget* m_pFrame;
    TitleBarFrame* m_pTitleBar;
    QWidget* m_pContent;
    QString m_strTitle;
};
