#pragma once

#include "platform/client/TransferClient.h"

namespace ct {

// The FTP client is one transfer client (platform/client/TransferClient.h); inside the FTP
// code its failures, its folder batches and the interface keep the names they were born with.
using FtpErrorKind = TransferErrorKind;
using FtpError = TransferError;
using FtpFolderCommand = FolderCommand;
using IFtpClient = ITransferClient;
// The security of a session is the endpoint's.
using FtpSecurity = EndpointSecurity;

enum class TIdFTPTransferType { ftASCII, ftBinary };

} // namespace ct
