#include "placeholder_page.h"

#include <QLabel>
#include <QVBoxLayout>

PlaceholderPage::PlaceholderPage(const QString& objectName, QWidget* parent)
    : QFrame(parent)
{
    setObjectName(objectName);
    setFrameShape(QFrame::StyledPanel);
    setFrameShadow(QFrame::Raised);
    QVBoxLayout* layout = new QVBoxLayout(this);
    QLabel* label = new QLabel(objectName, this);
    label->setAlignment(Qt::AlignCenter);
    layout->addWidget(label);
}
