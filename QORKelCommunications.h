#ifndef QORKELCOMMUNICATIONS_H
#define QORKELCOMMUNICATIONS_H

/* Everything the library exports, for hosts that want it all in one include.
 * One line per header, grouped by module; a new exported header adds one line.
 * (The socket API stays inside the library.) A C host, or a C++ host that needs
 * nothing but the C calls, gets those alone: the part a C compiler reads is C89. The C++
 * part needs C++17. */

/* The C interface: starting and stopping reporting, and the reporting calls */
#include "ipm/ipm_sendMessage.h"
#include "ipm/ipm_startReporting.h"

#ifdef __cplusplus

// Base services
#include "base/QORBasTixThreadTask.h"
#include "base/QORBasUtlFilePath.h"
#include "base/QORBasUtlsleep.h"
#include "base/aio_ostream.h"
#include "base/atr_translate.h"
#include "base/base_Export.h"
#include "base/base_Modules.h"
#include "base/cls_Uid.h"
#include "base/cow_Map.h"
#include "base/cow_String.h"
#include "base/eli_KillSignal.h"
#include "base/mem_Memory.h"
#include "base/nex_Exception.h"
#include "base/nex_TextException.h"
#include "base/omi_AlertListener.h"
#include "base/omi_Singleton.h"
#include "base/thr_GlobalLock.h"
#include "base/thr_GlobalSingleton.h"
#include "base/thr_GlobalSingletonBase.h"
#include "base/thr_LockGuard.h"
#include "base/thr_Mutex.h"
#include "base/utl_CommandLine.h"
#include "base/utl_HostName.h"
#include "base/utl_OptionSpelling.h"
#include "base/xmp_Expat.h"

// Copy-on-write list
#include "cow/cow_List.h"
#include "cow/cow_ListBlock.h"
#include "cow/cow_ListConstruct.h"
#include "cow/cow_ListIter.h"

// XML text: escaping and the characters XML carries
#include "xml/xml_Text.h"

// Sockets and addresses
#include "csp/csp_Host.h"
#include "csp/csp_IpAddress.h"
#include "csp/csp_SocketAddress.h"
#include "csp/csp_TcpSocket.h"
#include "csp/impl/csp_ConnectableSocket.h"
#include "csp/impl/csp_NetworkEx.h"
#include "csp/impl/csp_Socket.h"
#include "csp/impl/omi_FatalError.h"

// XMPP client
#include "jcl/jcl_Connection.h"
#include "jcl/jcl_DocumentParser.h"
#include "jcl/jcl_Entity.h"
#include "jcl/jcl_IQ.h"
#include "jcl/jcl_Message.h"
#include "jcl/jcl_Node.h"
#include "jcl/jcl_Presence.h"
#include "jcl/jcl_Stream.h"
#include "jcl/jcl_StreamReader.h"
#include "jcl/jcl_TextCache.h"

// Reporting
#include "ipm/ipm_Clock.h"
#include "ipm/ipm_DirectMechanism.h"
#include "ipm/ipm_JabberMechanism.h"
#include "ipm/ipm_MessageTask.h"
#include "ipm/ipm_MessageTransmit.h"
#include "ipm/ipm_Modules.h"
#include "ipm/ipm_PayloadEncoder.h"
#include "ipm/ipm_ReportPhase.h"
#include "ipm/ipm_ReportingScope.h"
#include "ipm/ipm_TransmissionMechanism.h"

#endif

#endif
