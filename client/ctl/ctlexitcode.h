#ifndef CTLEXITCODE_H
#define CTLEXITCODE_H

// The exit status of varvexctl; scripts rely on these numbers.
namespace CtlExit {
enum Code {
    Success = 0,
    Usage = 2,        // bad command line, or nothing to log in with
    NoService = 3,    // no service, or one that fails the peer check
    ServiceGone = 4,  // the service closed the connection
    LoginFailed = 5,  // the service reported a rejected login
    TimedOut = 6,     // the awaited state did not come in time
    NoTunnel = 7,     // the attempt ended without a tunnel
    WebApiFailed = 8, // the web API could not be reached or answered badly
};
} // namespace CtlExit

#endif // CTLEXITCODE_H
