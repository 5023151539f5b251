#ifndef FAKENFT_H
#define FAKENFT_H

#include <QString>

// Points this process's VARVEX_NFT at the nft stand-in, keeping its tables
// in the given folder (fake-nft/nft tells what it holds). System tools run
// with no environment of ours, so a wrapper script names the folder.
// Returns an error, or an empty string.
QString useFakeNft(const QString& stateFolder);

#endif // FAKENFT_H
