// What the operation pages have in common until they are built: a table-less frame that
// takes the tool bar and the filter and counts the reloads the search asks for.
#pragma once

#include <QFrame>
#include <QString>

class QLabel;
class ToolBarFrame;

class PlaceholderPage : public QFrame {
    Q_OBJECT
public:
    PlaceholderPage(const QString& objectName, QWidget* parent);

    void setToolBar(ToolBarFrame* toolBar) { m_pToolBar = toolBar; }
    ToolBarFrame* toolBar() const { return m_pToolBar; }
    void setFilterCol(int column) { m_nFilterCol = column; }
    void setFilterString(const QString& text) { m_strFilter = text; }
    int filterCol() const { return m_nFilterCol; }
    QString filterString() const { return m_strFilter; }
    // How often a finished search asked the page to reload its table.
    int reloadCount() const { return m_nReloads; }

protected:
    void noteReload() { ++m_nReloads; }

private:
    ToolBarFrame* m_pToolBar = nullptr;
    int m_nFilterCol = 0;
    QString m_strFilter;
    int m_nReloads = 0;
};
