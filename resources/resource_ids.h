// Identifiers of the server executable's resources.
#pragma once

#define IDS_VENDOR_INFO 103
