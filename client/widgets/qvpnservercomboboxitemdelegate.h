#ifndef QVPNSERVERCOMBOBOXITEMDELEGATE_H
#define QVPNSERVERCOMBOBOXITEMDELEGATE_H

#include <QAbstractItemDelegate>
#include <QFont>

class QVPNServerComboBox;

// Paints the rows of the server chooser's list (star, flag, name, ping) and
// switches a server's favourite star when it is clicked.
class QVPNServerComboBoxItemDelegate : public QAbstractItemDelegate
{
    Q_OBJECT
public:
    explicit QVPNServerComboBoxItemDelegate(QObject* parent = nullptr);

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override;
    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override;
    bool editorEvent(QEvent* event, QAbstractItemModel* model, const QStyleOptionViewItem& option,
                     const QModelIndex& index) override;

private:
    QVPNServerComboBox* chooser() const;
    int firstVisibleRow() const;

    QFont m_nameFont;
    QFont m_valueFont;
    QFont m_unitFont;
};

#endif // QVPNSERVERCOMBOBOXITEMDELEGATE_H
