// Our host's ManageONTAP answers through an ArrayBackend: NASSnapUtil's
// set-up attaches the one the config names, a test the one it drives. The
// object shares the back end's ownership; a null back end makes every later
// call fail with kArrayErrNotConnected.
#pragma once

#include "array/ArrayBackend.h"
#include "host/ManageONTAP.h"

#include <boost/shared_ptr.hpp>

void AttachArrayBackend(ManageONTAP& ontap, const boost::shared_ptr<ArrayBackend>& backend);
