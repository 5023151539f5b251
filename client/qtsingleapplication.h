#ifndef QTSINGLEAPPLICATION_H
#define QTSINGLEAPPLICATION_H

#include <QApplication>
#include <memory>

class SingleInstanceLock;

// The client's application object: one client per executable and user
// session. No messages pass between instances; a second one only learns
// that the first runs.
class QtSingleApplication : public QApplication
{
    Q_OBJECT
public:
    QtSingleApplication(int& argc, char** argv, bool GUIenabled = true);
    ~QtSingleApplication() override;

    // True when another instance of this executable runs in this session.
    bool isRunning() const;

private:
    std::unique_ptr<SingleInstanceLock> m_lock;
};

#endif // QTSINGLEAPPLICATION_H
