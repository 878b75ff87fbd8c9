#include "demo_capture.h"

#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <QtGlobal>
#include <cstdio>
#include <ctime>

#include <QAbstractButton>
#include <QDir>
#include <QLineEdit>
#include <QPushButton>
#include <algorithm>
#include <functional>
#include <memory>
#include <vector>

#include "LineEdit.h"
#include "ToolBarFrame.h"
#include "checkbox_table_model.h"
#include "checkbox_table_view.h"
#include "device_config.h"
#include "device_info.h"
#include "device_info_frame.h"
#include "import_export_frame.h"
#include "login_frame.h"
#include "main_frame.h"
#include "search_frame.h"
#include "upgrade_frame.h"

namespace DemoCapture {

namespace {
// A search ends within five seconds; a demo that sees none by then has failed.
const int kGiveUpMs = 30000;
}

void captureAfterSearch(MainFrame* frame, const QString& path, int settleMs)
{
    auto* done = new bool(false);
    QObject::connect(frame->searchFrame(), &SearchFrame::searchLoaded, frame, [frame, path, settleMs, done] {
        if (*done)
            return;
        *done = true;
        // Let the table and the layouts settle before the picture is taken.
        QTimer::singleShot(settleMs, frame, [frame, path] {
            const bool ok = frame->grab().save(path, "PNG");
            std::fprintf(stderr, ok ? "kvtool: screenshot %s\n" : "kvtool: cannot write %s\n", qPrintable(path));
            QApplication::exit(ok ? 0 : 1);
        });
    });
    QTimer::singleShot(kGiveUpMs, frame, [] {
        std::fprintf(stderr, "kvtool: no search ended, no screenshot\n");
        QApplication::exit(3);
    });
    QObject::connect(frame, &QObject::destroyed, [done] { delete done; });
}

namespace {

// One step of the tour: act, then wait until ready() holds (or the step's bound passes),
// then save the window as name.
struct TourStep {
    QString name;
    std::function<void()> act;
    std::function<bool()> ready;
};

void checkRows(CheckBoxTableModel* model, int count)
{
    QAbstractItemModel* proxy = model->getTableModel();
    for (int r = 0; r < count && r < proxy->rowCount(); ++r)
        model->setCheckState(proxy->index(r, model->checkColumn()), Qt::Checked);
    model->updateTableHeadCheckState();
}

template <class T>
T* child(QObject* parent, const char* name)
{
    return parent->findChild<T*>(QString::fromLatin1(name));
}

void runTour(MainFrame* frame, std::shared_ptr<std::vector<TourStep>> steps, size_t i, const QString& dir,
             const QString& tag, int waitedMs)
{
    if (i == steps->size()) {
        QApplication::exit(0);
        return;
    }
    const TourStep& step = (*steps)[i];
    // The pages' jobs run on workers and report through events: poll for the end, with a
    // bound so a device that never answers still gets its picture.
    if (waitedMs == 0)
        step.act();
    if (!step.ready() && waitedMs < 15000) {
        QTimer::singleShot(100, frame, [=] { runTour(frame, steps, i, dir, tag, waitedMs + 100); });
        return;
    }
    QTimer::singleShot(400, frame, [=] {
        const QString path = QDir(dir).filePath(QStringLiteral("kvtool-%1-%2.png").arg((*steps)[i].name, tag));
        const bool ok = frame->grab().save(path, "PNG");
        std::fprintf(stderr, ok ? "kvtool: screenshot %s\n" : "kvtool: cannot write %s\n", qPrintable(path));
        if (!ok) {
            QApplication::exit(1);
            return;
        }
        runTour(frame, steps, i + 1, dir, tag, 0);
    });
}

bool allIdle(CheckBoxTableModel* model, int rows)
{
    const QList<DeviceInfo*>& all = model->allRecords();
    for (int r = 0; r < rows && r < all.size(); ++r)
        if (all[r]->isBusy() || all[r]->m_nStatus == DeviceInfo::StWorking)
            return false;
    return true;
}

} // namespace

void tourAfterSearch(MainFrame* frame, const QString& dir, const QString& tag)
{
    auto steps = std::make_shared<std::vector<TourStep>>();
    ToolBarFrame* bar = frame->toolBar();
    steps->push_back({QStringLiteral("search"),
                      [frame] {
                          checkRows(frame->searchFrame()->currentModel(), 3);
                          // As a click on a row's box does: the editor of the batch opens.
                          emit frame->searchFrame()->currentView()->headCheckChanged(Qt::PartiallyChecked);
                      },
                      [] { return true; }});
    steps->push_back({QStringLiteral("upgrade"),
                      [frame, bar] {
                          bar->m_pBtnUpgrade->click();
                          UpgradeFrame* u = frame->upgradeFrame();
                          checkRows(u->model(), 4);
                          u->m_pEditUserName->setText(QStringLiteral("admin"));
                          u->m_pEditPassword->setText(QStringLiteral("admin123"));
                          // Edition 13: the version query fills the queried-version column.
                          if (u->m_pBtnQuery->isVisible())
                              u->m_pBtnQuery->click();
                      },
                      [frame] {
                          UpgradeFrame* u = frame->upgradeFrame();
                          if (!allIdle(u->model(), 4))
                              return false;
                          // Then the match against the version the first device reported.
                          const QList<DeviceInfo*>& all = u->model()->allRecords();
                          if (u->m_pBtnMatch->isVisible() && !all.isEmpty() && !all.first()->m_strQueriedVersion.isEmpty() &&
                              all.first()->m_strWantedVersion.isEmpty()) {
                              u->m_pEditVersion->setText(all.first()->m_strQueriedVersion);
                              u->m_pBtnMatch->click();
                              return false;
                          }
                          return allIdle(u->model(), 4);
                      }});
    steps->push_back({QStringLiteral("login"),
                      [frame, bar] {
                          bar->m_pBtnConfig->click();
                          LoginFrame* l = frame->loginFrame();
                          const QList<DeviceInfo*>& all = frame->searchFrame()->currentModel()->allRecords();
                          if (all.isEmpty())
                              return;
                          child<QLineEdit>(l, "m_pEdtIP")->setText(all.first()->ipText());
                          child<QLineEdit>(l, "m_pEdtPort")->setText(QString::number(all.first()->m_searchRsp.nMediaPort));
                          child<QLineEdit>(l, "m_pEdtUsr")->setText(QStringLiteral("admin"));
                          child<QLineEdit>(l, "m_pEdtPwd")->setText(QStringLiteral("admin123"));
                          l->on_m_pBtnLogin_clicked();
                      },
                      [frame] {
                          DeviceConfig* c = frame->loginFrame()->config();
                          if (!c->isEnabled())
                              return false;
                          c->defaultButton()->click();
                          return true;
                      }});
    steps->push_back({QStringLiteral("deviceinfo"),
                      [frame, bar] {
                          bar->m_pBtnDeviceInfo->click();
                          DeviceInfoFrame* d = frame->deviceInfoFrame();
                          checkRows(d->model(), 3);
                          d->m_pEditUser->setText(QStringLiteral("admin"));
                          d->m_pEditPassword->setText(QStringLiteral("admin123"));
                          d->m_pBtnDefault->click();
                      },
                      [frame] { return frame->deviceInfoFrame()->m_pBtnDefault->isEnabled(); }});
    steps->push_back({QStringLiteral("importexport"),
                      [frame, bar, dir] {
                          bar->m_pBtnImportExport->click();
                          ImportExportFrame* x = frame->importExportFrame();
                          checkRows(x->model(), 1);
                          x->userEdit()->setText(QStringLiteral("admin"));
                          x->passwordEdit()->setText(QStringLiteral("admin123"));
                          // The export's save dialog answered with a file beside the pictures.
                          DeviceInfo::setSaveFileDialog([dir](const QString&, const QString& name, const QString&) {
                              return QDir(dir).filePath(name);
                          });
                          x->exportButton()->click();
                      },
                      [frame] { return frame->importExportFrame()->exportButton()->isEnabled(); }});
    // KVTOOL_TOUR_PAGES: the pages to visit, comma-separated (an edition offers only some).
    const QStringList only = qEnvironmentVariable("KVTOOL_TOUR_PAGES").split(',', Qt::SkipEmptyParts);
    if (!only.isEmpty())
        steps->erase(std::remove_if(steps->begin(), steps->end(),
                                    [&only](const TourStep& s) { return !only.contains(s.name); }),
                     steps->end());
    auto* done = new bool(false);
    QObject::connect(frame->searchFrame(), &SearchFrame::searchLoaded, frame, [=] {
        if (*done)
            return;
        *done = true;
        QTimer::singleShot(500, frame, [=] { runTour(frame, steps, 0, dir, tag, 0); });
    });
    QObject::connect(frame, &QObject::destroyed, [done] { delete done; });
}

void installFromEnvironment(MainFrame* frame)
{
    const QString tour = qEnvironmentVariable("KVTOOL_TOUR");
    if (!tour.isEmpty())
        tourAfterSearch(frame, tour, qEnvironmentVariable("KVTOOL_TOUR_TAG", QStringLiteral("en")));
    const QString shot = qEnvironmentVariable("KVTOOL_SCREENSHOT");
    if (!shot.isEmpty())
        captureAfterSearch(frame, shot, 500);
    if (qEnvironmentVariableIsSet("KVTOOL_EXIT_AFTER_SHOW")) {
        // KVTOOL_T0_MS: the starter's CLOCK_MONOTONIC in ms just before it started us.
        const double t0 = qEnvironmentVariable("KVTOOL_T0_MS").toDouble();
        QTimer::singleShot(0, frame, [t0] {
            if (t0 > 0) {
                timespec ts;
                clock_gettime(CLOCK_MONOTONIC, &ts);
                std::fprintf(stderr, "kvtool: first window after %.1f ms\n", ts.tv_sec * 1e3 + ts.tv_nsec / 1e6 - t0);
            }
            QApplication::exit(0);
        });
    }
    bool ok = false;
    const int closeMs = qEnvironmentVariableIntValue("KVTOOL_CLOSE_AFTER_MS", &ok);
    if (ok && closeMs >= 0)
        QTimer::singleShot(closeMs, frame, &QWidget::close);
}

} // namespace DemoCapture
