// Errors that several of the client's operations return alike.
#pragma once

#include "host/CRyError.h"
#include "host/ContentMapper.h"

#include <boost/shared_ptr.hpp>
#include <string>

// The error the agent gets when the array named arrayName does not answer a
// connection.
CRyError ArrayUnreachable(const FXCodeLocation& where, const std::string& arrayName);
// The error of an operation that needs the array connection and has none
// (never set up, or released by the post-backup cleanup).
CRyError NoArray(const FXCodeLocation& where, const char* message);
// The agent's content mapper as our concrete class, or error 160.
CRyError AsContentMapper(const ContentMapperAPIPtr& given,
                         boost::shared_ptr<CContentMapper>& mapper, const FXCodeLocation& where);
