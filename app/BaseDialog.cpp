#include "BaseDialog.h"

#include "Edition.h"
#include "KVAppSetting.h"
#include "Singleton.h"
#include "TitleBarFrame.h"
#include "XmlLanguage.h"

#include <QFileDialog>
#include <QPointer>
#include <QTimer>
#include <QVBoxLayout>

namespace {
BaseDialog::ModalHook& modalHook()
{
    static BaseDialog::ModalHook hook;
    return hook;
}
}  // namespace

BaseDialog::BaseDialog(QWidget* content, const QString& title, QWidget* parent)
    : QDialog(parent), m_pContent(content), m_strTitle(title)
{
    setAttribute(Qt::WA_TranslucentBackground);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);

    m_pFrame = new QWidget(this);
    m_pFrame->setObjectName(QStringLiteral("DialogFrame"));
    m_pTitleBar = new TitleBarFrame(m_pFrame, false);
    m_pTitleBar->SetTitle(title);
    m_pTitleBar->setFixedHeight(25);

    auto* frameLayout = new QVBoxLayout(m_pFrame);
    frameLayout->setContentsMargins(0, 0, 0, 0);
    frameLayout->setSpacing(0);
    frameLayout->addWidget(m_pTitleBar);
    if (content)
        frameLayout->addWidget(content);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(m_pFrame);

    connect(m_pTitleBar, &TitleBarFrame::CloseRequest, this, &BaseDialog::OnCloseReponse);
    if (auto* frame = qobject_cast<BaseDialogFrame*>(content)) {
        connect(frame, &BaseDialogFrame::doneRequest, this, &BaseDialog::OnDoneResponse);
    } else if (auto* files = qobject_cast<QFileDialog*>(content)) {
        connect(files, &QFileDialog::finished, this, &BaseDialog::OnCloseReponse);
        files->setFixedSize(620, 420);
    }
}

BaseDialog::~BaseDialog() = default;

void BaseDialog::setModalHook(ModalHook hook)
{
    modalHook() = std::move(hook);
}

void BaseDialog::runHook(QDialog* dialog)
{
    if (!modalHook())
        return;
    // Runs inside the dialog's own event loop, once it is shown.
    QPointer<QDialog> guard(dialog);
    QTimer::singleShot(0, dialog, [guard] {
        if (guard && modalHook())
            modalHook()(guard.data());
    });
}

int BaseDialog::exec()
{
    runHook(this);
    return QDialog::exec();
}

void BaseDialog::OnCloseReponse(int code)
{
    done(code);
}

void BaseDialog::OnDoneResponse(ResultType result, QObject*)
{
    done(result);
}

QString BaseDialog::getSelectFileName(QWidget*, const QString& caption, const QString& dir, const QString& filter)
{
    QFileDialog dialog(nullptr, caption, dir, filter);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // After the modes: setting the accept mode puts the stock button texts back.
    if (Edition::Has(EditionSwitch::FileDialogLabels, Singleton<KVAppSetting>::getInstance()->m_nCompany)) {
        dialog.setLabelText(QFileDialog::LookIn, LoadStringFromID(128));
        dialog.setLabelText(QFileDialog::FileName, LoadStringFromID(129));
        dialog.setLabelText(QFileDialog::FileType, LoadStringFromID(130));
        dialog.setLabelText(QFileDialog::Accept, LoadStringFromID(131));
        dialog.setLabelText(QFileDialog::Reject, LoadStringFromID(132));
    }
    dialog.setWindowFlags(dialog.windowFlags() | Qt::WindowMinimizeButtonHint);
    runHook(&dialog);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    const QStringList files = dialog.selectedFiles();
    return files.isEmpty() ? QString() : files.first();
}
