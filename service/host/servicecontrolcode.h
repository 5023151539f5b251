#ifndef SERVICECONTROLCODE_H
#define SERVICECONTROLCODE_H

// Control requests a running service receives, numbered as service control
// managers number them: 1 stop, 2 pause, 3 continue, 128 + n for user
// command n.
namespace ServiceControl {

enum Code { Stop = 1, Pause = 2, Continue = 3, UserBase = 128, UserLast = 255 };

} // namespace ServiceControl

#endif // SERVICECONTROLCODE_H
