#include "qvpnservercomboboxitemdelegate.h"

#include <QAbstractItemView>
#include <QFontMetrics>
#include <QImage>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QVariantMap>

#include "qvpnservercombobox.h"
#include "robotofont.h"
#include "serverrowkeys.h"

namespace {

const int kRowHeight = 41;
const int kRowWidth = 297;
const int kStarLeft = 24;
const int kStarRight = 40;
const int kNameLeft = 93;
const int kPingLeft = 256;
// Space kept free between a long name's end and the ping column.
const int kNameGap = 6;

} // namespace

QVPNServerComboBoxItemDelegate::QVPNServerComboBoxItemDelegate(QObject* parent)
    : QAbstractItemDelegate(parent)
    , m_nameFont(robotoFont(14, 35))
    , m_valueFont(robotoFont(12, 100))
    , m_unitFont(robotoFont(14, 35))
{
}

QVPNServerComboBox* QVPNServerComboBoxItemDelegate::chooser() const
{
    return qobject_cast<QVPNServerComboBox*>(parent());
}

int QVPNServerComboBoxItemDelegate::firstVisibleRow() const
{
    const QVPNServerComboBox* box = chooser();
    if (!box || !box->view() || !box->view()->verticalScrollBar())
        return 0;
    return box->view()->verticalScrollBar()->value();
}

void QVPNServerComboBoxItemDelegate::paint(QPainter* painter, const QStyleOptionViewItem& option,
                                           const QModelIndex& index) const
{
    Q_UNUSED(option);
    const int r = index.row() - firstVisibleRow();
    const int y = kRowHeight * r;
    const QVPNServerComboBox* box = chooser();

    if (box && box->currentIndex() == index.row())
        painter->fillRect(QRect(QPoint(0, y + 1), QPoint(kRowWidth - 1, y + 41)), QColor(112, 141, 198));
    else
        painter->fillRect(QRect(QPoint(0, y), QPoint(kRowWidth - 1, y + 40)), Qt::white);

    const bool favourite = index.data(Qt::CheckStateRole).toInt() == Qt::Checked;
    painter->drawImage(QPoint(kStarLeft, y + 10),
                       QImage(favourite ? QStringLiteral(":/imgs/star-lit.png")
                                        : QStringLiteral(":/imgs/star.png")));

    const QVariantMap data = index.model() ? index.data(Qt::UserRole).toMap() : QVariantMap();
    const QString code = data.value(QLatin1String(ServerRowKey::Code)).toString();
    if (!code.isEmpty()) {
        const QImage flag(QStringLiteral(":/imgs/flags/") + code + QStringLiteral(".png"));
        if (!flag.isNull())
            painter->drawImage(QPoint(56, y + 21 - flag.height() / 2), flag);
    }

    // Set for every row: the painter is shared and keeps the previous row's
    // separator grey otherwise. Long names end short of the ping column.
    painter->setPen(Qt::black);
    painter->setFont(m_nameFont);
    const QString name = painter->fontMetrics().elidedText(data.value(QLatin1String(ServerRowKey::Name)).toString(),
                                                           Qt::ElideRight, kPingLeft - kNameGap - kNameLeft);
    painter->drawText(QPoint(kNameLeft, y + 26), name);

    if (r > 0) {
        painter->setPen(QColor(202, 202, 202));
        painter->drawLine(10, y, 287, y);
    }

    if (data.contains(QLatin1String(ServerRowKey::Ping))) {
        const int ping = data.value(QLatin1String(ServerRowKey::Ping)).toInt();
        QString value = QString::number(ping);
        if (ping < 1) {
            painter->setPen(QColor(Qt::gray));
            value = QStringLiteral("---");
        } else if (ping < 200) {
            painter->setPen(QColor(75, 206, 126));
        } else if (ping < 400) {
            painter->setPen(QColor(253, 186, 61));
        } else {
            painter->setPen(QColor(252, 84, 53));
        }
        painter->setFont(m_valueFont);
        painter->drawText(QPoint(kPingLeft, y + 18), value);
        painter->setFont(m_unitFont);
        painter->drawText(QPoint(kPingLeft, y + 34), QStringLiteral("ms"));
        painter->setPen(Qt::black);
    }
}

QSize QVPNServerComboBoxItemDelegate::sizeHint(const QStyleOptionViewItem& option,
                                               const QModelIndex& index) const
{
    Q_UNUSED(option);
    Q_UNUSED(index);
    return QSize(kRowWidth, kRowHeight);
}

bool QVPNServerComboBoxItemDelegate::editorEvent(QEvent* event, QAbstractItemModel* model,
                                                 const QStyleOptionViewItem& option,
                                                 const QModelIndex& index)
{
    Q_UNUSED(option);
    if (event->type() != QEvent::MouseButtonRelease)
        return false;

    const int x = static_cast<QMouseEvent*>(event)->pos().x();
    QVPNServerComboBox* box = chooser();
    if (x < kStarLeft || x > kStarRight) {
        // Left unaccepted, the release reaches the list's container, which closes the list.
        if (box)
            box->setCurrentIndex(index.row());
        event->ignore();
        return true;
    }

    if (model) {
        const bool favourite = model->data(index, Qt::CheckStateRole).toInt() == Qt::Checked;
        model->setData(index, favourite ? Qt::Unchecked : Qt::Checked, Qt::CheckStateRole);
    }
    if (box)
        emit box->starToggled();
    event->accept();
    return true;
}
