// The scripted array's JSON document (docs/scripted-array.md): load, save
// and the byte-string encoding shared by every JSON file of the array back
// ends. Names and messages are bytes: a JSON string when they are valid
// UTF-8, else {"hex": "<hex of the bytes>"}. Loading reports the first fault
// of a document as one error naming where it is ("snapdiffs[0].batches[2].
// end: expected true or false"); it never throws. Saving replaces the file
// atomically (a temporary file in the same folder, then rename), so a reader
// sees the old document or the new one, never a mix.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

#include "array/ArrayScript.h"
#include "hostlib/Status.h"

nlohmann::json BytesToJson(const std::string& bytes);
nlohmann::ordered_json BytesToOrderedJson(const std::string& bytes);
// False when value is neither a string nor {"hex": even-length hex digits}.
bool BytesFromJson(const nlohmann::json& value, std::string& bytes);

// A document at fault is an invalid argument; a file that cannot be read or
// written, an I/O error.
hostlib::Status ParseArrayScript(const std::string& text, ArrayScript& script);
hostlib::Status LoadArrayScript(const std::string& path, ArrayScript& script);
// Not supported when the script holds a generated SnapDiff answer, which has
// no document form.
hostlib::Status ArrayScriptToJson(const ArrayScript& script, std::string& text);
hostlib::Status SaveArrayScript(const std::string& path, const ArrayScript& script);
// Writes text to path through a temporary file and a rename.
hostlib::Status WriteFileAtomically(const std::string& path, const std::string& text);
