<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1">
<context>
    <name>QMainDialog</name>
    <message>
        <location filename="../qmaindialog.ui" line="+26"/>
        <source>Varvex Client</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+67"/>
        <source>Minimize</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+20"/>
        <source>Close</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+172"/>
        <source>Username</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+92"/>
        <source>Password</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+83"/>
        <location filename="../qmaindialog_state.cpp" line="+146"/>
        <location filename="../widgets/qvpnservercombobox.cpp" line="+299"/>
        <source>Connect</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+25"/>
        <source>Settings</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+163"/>
        <source>Disconnected</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+96"/>
        <location filename="../qmaindialog_state.cpp" line="+2"/>
        <source>DISCONNECTED</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+53"/>
        <source>Varvex ADDRESS</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+7"/>
        <location filename="../qmaindialog_state.cpp" line="-84"/>
        <location line="+346"/>
        <source>Detecting...</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+85"/>
        <source>TIME CONNECTED</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+27"/>
        <source>Auto &amp;Start</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+10"/>
        <source>Auto &amp;Login</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+76"/>
        <source>VPN PROTOCOL &amp; ENCRYPTION</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+7"/>
        <source>OpenVPN - 256 bit</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../qmaindialog.cpp" line="+77"/>
        <source>Connection error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+0"/>
        <source>Can&apos;t connect to Varvex service.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../qmaindialog_state.cpp" line="-333"/>
        <source>Connecting..</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+2"/>
        <source>CONNECTING</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="-16"/>
        <source>Varvex IP ADDRESS</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+2"/>
        <source>Disconnect</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+37"/>
        <source>CONNECTED</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+21"/>
        <source>Disconnecting..</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+2"/>
        <source>DISCONNECTING</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+26"/>
        <source>PUBLIC IP ADDRESS</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Not Connected</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../qmaindialog_actions.cpp" line="+33"/>
        <location filename="../qmaindialog_state.cpp" line="+159"/>
        <source>Login error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../qmaindialog_state.cpp" line="+1"/>
        <source>Login failed.
Please check your username and password and try again.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="-143"/>
        <source>TIMEOUT</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+27"/>
        <source>UNKNOWN</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+218"/>
        <source>Unknown.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../qmaindialog_actions.cpp" line="+0"/>
        <source>The user name or password is too long.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+124"/>
        <source>VPN connection is trying to connect to %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+3"/>
        <source>VPN connection is connected to %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+4"/>
        <source>VPN connection is disconnected.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+3"/>
        <source>VPN connection is disconnecting, but it&apos;s trying to connect to %1.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Unknown VPN connection state.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+3"/>
        <source>Varvex Status</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../main.cpp" line="+82"/>
        <source>Varvex needs a system tray. On GNOME, install and enable the AppIndicator extension (package gnome-shell-extension-appindicator), then start Varvex again.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location filename="../qvpnnotifier.cpp" line="+25"/>
        <source>Connected to %1</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+5"/>
        <source>Connection lost. Reconnecting…</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+17"/>
        <source>Login failed: check your user name and password.</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+10"/>
        <source>Disconnected: the VPN server could not be reached.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
<context>
    <name>QVarvexServiceConnection</name>
    <message>
        <location filename="../qmaindialog.cpp" line="+120"/>
        <source>Connection error</source>
        <translation type="unfinished"></translation>
    </message>
    <message>
        <location line="+1"/>
        <source>Connection to Varvex service was closed.
Terminating this app.</source>
        <translation type="unfinished"></translation>
    </message>
</context>
</TS>
