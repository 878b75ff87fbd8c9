// The tool bar under the main title bar: five page buttons, the filter edit with its
// column selector, and the protocol selector.
#pragma once

#include <QFrame>

class QButtonGroup;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

class ToolBarFrame : public QFrame {
    Q_OBJECT
public:
    explicit ToolBarFrame(QWidget* parent = nullptr);
    ~ToolBarFrame() override;

    // The page buttons, the filter edit, the column selector and the protocol selector.
    void setWidgetEnable(bool enable);
    // The upgrade and login buttons, and the edition's further page buttons.
    void showOtherButton(bool show);
    void SetManualClickConfig();

    QString filterText() const;
    int filterColumn() const;
    int protocolIndex() const;  // 0 the maker's own protocol, 1 ONVIF

    QPushButton* m_pBtnSearch = nullptr;
    QPushButton* m_pBtnUpgrade = nullptr;
    QPushButton* m_pBtnConfig = nullptr;
    QPushButton* m_pBtnDeviceInfo = nullptr;
    QPushButton* m_pBtnImportExport = nullptr;
    QButtonGroup* m_pButtonGroup = nullptr;
    QLabel* m_pLabelFilter = nullptr;
    QLineEdit* m_pEditFilter = nullptr;
    QComboBox* m_pComboFilter = nullptr;
    QLabel* m_pLabelProtocol = nullptr;
    QComboBox* m_pComboProtocol = nullptr;

signals:
    void SearchRequest();
    void UpgradeRequest();
    void ConfigRequest();
    void DeviceInfoRequest();
    void ImportExportRequest();
    void FilterIndexChangedRequest();
    void FilterTextChangedRequest();
    void ProtocolIndexChangedRequest();

public slots:
    void FilterItemChangedRequest();

protected:
    void customEvent(QEvent* event) override;

private:
    void CreateWidget();
    void CreateLayout();
    void CreateConnection();
    void InitText();
};
