#ifndef QVPNSERVERCOMBOBOX_H
#define QVPNSERVERCOMBOBOX_H

#include <QComboBox>
#include <QElapsedTimer>
#include <QList>
#include <QPointer>
#include <QString>
#include <QStringList>

#include "vpnserverinfo.h"

class QThread;
class QPingService;
class QStandardItemModel;

// The two-part server button: the left part connects, the right part opens
// the list of servers with stars, flags and ping times.
class QVPNServerComboBox : public QComboBox
{
    Q_OBJECT
public:
    explicit QVPNServerComboBox(QWidget* parent = nullptr);
    ~QVPNServerComboBox() override;

    void setServerList(const QList<VPNServerInfo>& list);
    void setFavorites(const QString& favorites);
    void setCurrentServer(const VPNServerInfo& server);
    VPNServerInfo currentServer() const;

    // The row of the server of this name; -1 when there is none.
    int rowOfServer(const QString& name) const;
    // The server a row shows; empty for -1.
    VPNServerInfo serverOfRow(int row) const;
    // Names of the starred rows, top to bottom.
    QStringList favoriteNames() const;

signals:
    void pressed();
    void starToggled();
    void pingHost(QString hostname);

private slots:
    void myCurrentIndexChanged(int index);
    void pingResult(QString hostname, int latency);
    void pingNextServer();
    void pingUnavailable();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

private:
    // Started when a press opens the list; the release of that same press must not close it again.
    QElapsedTimer m_popupOpenedByPress;
    VPNServerInfo m_currentServer;
    QThread* m_workerThread = nullptr;
    QPingService* m_pingService = nullptr;
    QList<VPNServerInfo> m_serverList;
    // Set when no ping can be sent here: shown as the rows' tool tip.
    QString m_noPingReason;
    // The model of the last list; models made here have no parent, so the box frees them.
    QPointer<QStandardItemModel> m_listModel;
};

#endif // QVPNSERVERCOMBOBOX_H
