// Everything a translation unit needs to speak OPC: the Windows COM headers, the interfaces
// generated from our IDL and the constants.
#pragma once

#include <windows.h>
#include <ole2.h>
#include <ocidl.h>
#include <olectl.h>

#include "opccomn.h"
#include "opcda.h"
#include "opc_constants.h"
