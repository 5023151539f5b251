#include "qvpnservercombobox.h"

#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QApplication>
#include <QCoreApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPointer>
#include <QProxyStyle>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QThread>
#include <QTimer>
#include <QVariantMap>

#include "qpingservice.h"
#include "qvpnservercomboboxitemdelegate.h"
#include "robotofont.h"
#include "serverrowkeys.h"

namespace {

const int kPingPacingMs = 500;
// Width of the right part that opens the list; the divider sits just left of it.
const int kListButtonWidth = 74;

// Styles that open the list as a menu (Fusion, the usual style on Linux) show
// every row and ignore the limit of visible rows; the list must scroll instead.
class ListPopupStyle : public QProxyStyle
{
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* returnData) const override
    {
        if (hint == QStyle::SH_ComboBox_Popup)
            return 0;
        return QProxyStyle::styleHint(hint, option, widget, returnData);
    }
};

// One instance for every chooser, owned by the application: the list's widgets
// still use the style while they are destroyed, after the box itself.
QStyle* listPopupStyle()
{
    static QPointer<ListPopupStyle> style;
    if (!style) {
        style = new ListPopupStyle();
        style->setParent(QCoreApplication::instance());
    }
    return style;
}

} // namespace

QVPNServerComboBox::QVPNServerComboBox(QWidget* parent)
    : QComboBox(parent)
{
    setMaxVisibleItems(6);
    setStyle(listPopupStyle());
    setStyleSheet(QStringLiteral(
        "QScrollBar:vertical {border: 1px solid #55b7e5; background: white; width: 5px; margin: 0px 0px 0px 0px} "
        "QScrollBar::handle:vertical {border: none; background: #55b7e5} "
        "QScrollBar::up-arrow:vertical, QScrollBar::down-arrow:vertical {background: red; height: 50px} "
        "QScrollBar::add-line, QScrollBar::sub-line {height: 0px; background: white}"));

    m_workerThread = new QThread(this);
    m_pingService = new QPingService();
    m_pingService->moveToThread(m_workerThread);

    connect(this, QOverload<int>::of(&QComboBox::currentIndexChanged),
            this, &QVPNServerComboBox::myCurrentIndexChanged);
    connect(this, &QVPNServerComboBox::pingHost, m_pingService, &QPingService::pingHost);
    connect(m_pingService, &QPingService::pingResult, this, &QVPNServerComboBox::pingResult);
    connect(m_pingService, &QPingService::pingUnavailable, this, &QVPNServerComboBox::pingUnavailable);

    m_workerThread->start(QThread::InheritPriority);

    setItemDelegate(new QVPNServerComboBoxItemDelegate(this));
}

QVPNServerComboBox::~QVPNServerComboBox()
{
    // An echo in progress notices the interruption request and ends within a
    // few tens of milliseconds, so termination stays a last resort.
    m_workerThread->requestInterruption();
    m_workerThread->exit(0);
    if (!m_workerThread->wait(100)) {
        m_workerThread->terminate();
        m_workerThread->wait();
    }
    delete m_pingService;
    m_pingService = nullptr;
    delete m_workerThread;
    m_workerThread = nullptr;

    delete m_listModel.data();
}

void QVPNServerComboBox::setServerList(const QList<VPNServerInfo>& list)
{
    m_serverList = list;

    while (count() > 0)
        removeItem(0);

    auto* listModel = new QStandardItemModel(0, 1);
    for (const VPNServerInfo& server : list) {
        auto* item = new QStandardItem();
        QVariantMap data;
        data.insert(QLatin1String(ServerRowKey::Name), server.name);
        data.insert(QLatin1String(ServerRowKey::Code), server.code);
        data.insert(QLatin1String(ServerRowKey::Hostname), server.hostname);
        item->setData(data, Qt::UserRole);
        item->setFlags(Qt::ItemIsUserCheckable);
        if (!m_noPingReason.isEmpty())
            item->setToolTip(m_noPingReason);
        listModel->appendRow(item);
    }

    QPointer<QStandardItemModel> previousModel = m_listModel;
    setModel(listModel);
    m_listModel = listModel;
    // Replaced models would otherwise never be freed. Deferred, because the
    // view may still be delivering events that refer to the old rows.
    if (previousModel && previousModel != listModel)
        previousModel->deleteLater();

    if (!list.isEmpty())
        setCurrentIndex(0);

    QTimer::singleShot(kPingPacingMs, this, &QVPNServerComboBox::pingNextServer);
    update();
}

void QVPNServerComboBox::setFavorites(const QString& favorites)
{
    const QStringList names = favorites.split(QLatin1Char(','), Qt::KeepEmptyParts, Qt::CaseSensitive);
    QAbstractItemModel* rows = model();
    for (const QString& name : names) {
        for (int row = 0; row < count(); ++row) {
            const QVariantMap data = itemData(row, Qt::UserRole).toMap();
            if (data.value(QLatin1String(ServerRowKey::Name)).toString() == name)
                rows->setData(rows->index(row, modelColumn(), rootModelIndex()), Qt::Checked,
                              Qt::CheckStateRole);
        }
    }
}

int QVPNServerComboBox::rowOfServer(const QString& name) const
{
    for (int row = 0; row < count(); ++row) {
        if (itemData(row, Qt::UserRole).toMap().value(QLatin1String(ServerRowKey::Name)).toString() == name)
            return row;
    }
    return -1;
}

VPNServerInfo QVPNServerComboBox::serverOfRow(int row) const
{
    if (row < 0)
        return VPNServerInfo();
    const QVariantMap data = itemData(row, Qt::UserRole).toMap();
    return VPNServerInfo{data.value(QLatin1String(ServerRowKey::Name)).toString(),
                         data.value(QLatin1String(ServerRowKey::Code)).toString(),
                         data.value(QLatin1String(ServerRowKey::Hostname)).toString()};
}

QStringList QVPNServerComboBox::favoriteNames() const
{
    QStringList favorites;
    const QAbstractItemModel* rows = model();
    for (int row = 0; row < count(); ++row) {
        if (rows->index(row, 0).data(Qt::CheckStateRole).toInt() == Qt::Checked)
            favorites << itemData(row, Qt::UserRole).toMap().value(QLatin1String(ServerRowKey::Name)).toString();
    }
    return favorites;
}

void QVPNServerComboBox::setCurrentServer(const VPNServerInfo& server)
{
    m_currentServer = server;
    update();
}

VPNServerInfo QVPNServerComboBox::currentServer() const
{
    return m_currentServer;
}

void QVPNServerComboBox::myCurrentIndexChanged(int index)
{
    if (index < 0 || index >= m_serverList.size())
        return;
    m_currentServer = m_serverList.at(index);
    update();
}

void QVPNServerComboBox::pingNextServer()
{
    for (int row = 0; row < count(); ++row) {
        const QVariantMap data = itemData(row, Qt::UserRole).toMap();
        if (!data.contains(QLatin1String(ServerRowKey::Ping))) {
            emit pingHost(data.value(QLatin1String(ServerRowKey::Hostname)).toString());
            return;
        }
    }
}

// Every row would show "---" without a word: its tool tip says why.
void QVPNServerComboBox::pingUnavailable()
{
    m_noPingReason = QPingService::unavailableReason();
    setToolTip(m_noPingReason);
    for (int row = 0; row < count(); ++row)
        setItemData(row, m_noPingReason, Qt::ToolTipRole);
}

void QVPNServerComboBox::pingResult(QString hostname, int latency)
{
    for (int row = 0; row < count(); ++row) {
        QVariantMap data = itemData(row, Qt::UserRole).toMap();
        if (data.value(QLatin1String(ServerRowKey::Hostname)).toString() != hostname)
            continue;
        data.insert(QLatin1String(ServerRowKey::Ping), latency);
        setItemData(row, data, Qt::UserRole);
    }

    QTimer::singleShot(kPingPacingMs, this, &QVPNServerComboBox::pingNextServer);
    update();
}

void QVPNServerComboBox::mousePressEvent(QMouseEvent* event)
{
    if (event->pos().x() >= width() - kListButtonWidth) {
        showPopup();
        // The list is a popup that grabs the mouse: the release of this press
        // would reach it and close it at once.
        m_popupOpenedByPress.start();
        if (QWidget* container = view()->parentWidget())
            container->installEventFilter(this);
        view()->viewport()->installEventFilter(this);
    } else
        emit pressed();
}

bool QVPNServerComboBox::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::MouseButtonRelease && m_popupOpenedByPress.isValid()) {
        const bool releaseOfOpeningPress = m_popupOpenedByPress.elapsed() < QApplication::doubleClickInterval();
        m_popupOpenedByPress.invalidate();
        if (releaseOfOpeningPress)
            return true;
    }
    return QComboBox::eventFilter(watched, event);
}

void QVPNServerComboBox::mouseReleaseEvent(QMouseEvent* event)
{
    Q_UNUSED(event);
}

void QVPNServerComboBox::mouseMoveEvent(QMouseEvent* event)
{
    Q_UNUSED(event);
}

void QVPNServerComboBox::paintEvent(QPaintEvent* event)
{
    Q_UNUSED(event);
    const int w = width();
    const int h = height();
    const QColor connectColor(66, 176, 227);
    const QColor listColor(84, 183, 229);

    QPainter painter(this);
    painter.setPen(Qt::NoPen);
    painter.setBrush(connectColor);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.drawRoundedRect(QRectF(0, 0, 20, h), 7, 7, Qt::AbsoluteSize);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.fillRect(QRect(QPoint(10, 0), QPoint(w - 66, h - 1)), connectColor);

    painter.setPen(QColor(43, 134, 175));
    painter.drawLine(w - 75, 0, w - 75, h);

    painter.setPen(Qt::NoPen);
    painter.setBrush(listColor);
    painter.setRenderHint(QPainter::Antialiasing, true);
    painter.drawRoundedRect(QRectF(w - 20, 0, 20, h), 7, 7, Qt::AbsoluteSize);
    painter.setRenderHint(QPainter::Antialiasing, false);
    painter.fillRect(QRect(QPoint(w - 74, 0), QPoint(w - 11, h - 1)), listColor);

    painter.drawImage(QPoint(w - 66, 5), QImage(QStringLiteral(":/imgs/choose-server-combo-button.png")));

    painter.setPen(Qt::white);
    painter.setFont(robotoFont(20, 50));
    painter.drawText(QRect(0, 10, w - 75, 28), Qt::AlignCenter,
                     QCoreApplication::translate("QMainDialog", "Connect"));

    painter.setPen(QColor(1, 67, 97));
    painter.setFont(robotoFont(10, 75));
    painter.drawText(QRect(0, 28, w - 75, 40), Qt::AlignCenter, m_currentServer.name);
}
