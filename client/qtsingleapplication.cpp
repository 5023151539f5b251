#include "qtsingleapplication.h"

#include "singleinstancelock.h"

#include <QFileInfo>

QtSingleApplication::QtSingleApplication(int& argc, char** argv, bool GUIenabled)
    : QApplication(argc, argv)
{
    // Qt 5's application object always has the graphical interface; its
    // third argument is a version number, not a switch.
    Q_UNUSED(GUIenabled)
    // Keyed by the resolved path, so that a link to the program counts as
    // the same program.
    QString key = QFileInfo(applicationFilePath()).canonicalFilePath();
    if (key.isEmpty())
        key = applicationFilePath();
    m_lock = std::make_unique<SingleInstanceLock>(key);
}

QtSingleApplication::~QtSingleApplication() = default;

bool QtSingleApplication::isRunning() const
{
    return m_lock->isHeldElsewhere();
}
