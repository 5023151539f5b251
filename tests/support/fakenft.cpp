#include "fakenft.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

QString useFakeNft(const QString& stateFolder)
{
    const QString fakeNft = qEnvironmentVariable("VARVEX_SOURCE_DIR") + QStringLiteral("/tests/support/fake-nft/nft");
    if (!QFile::exists(fakeNft))
        return QStringLiteral("run through ctest: no nft stand-in at ") + fakeNft;
    if (!QDir().mkpath(stateFolder))
        return QStringLiteral("cannot make ") + stateFolder;
    QFile wrapper(stateFolder + QStringLiteral("/../nft.sh"));
    if (!wrapper.open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write ") + wrapper.fileName();
    wrapper.write(QStringLiteral("#!/bin/sh\nFAKE_NFT_DIR='%1' exec '%2' \"$@\"\n").arg(stateFolder, fakeNft).toUtf8());
    wrapper.close();
    wrapper.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("VARVEX_NFT", QFileInfo(wrapper).absoluteFilePath().toLocal8Bit());
    return QString();
}
