// CParamBase: the base of the device-parameter objects that exchange one device record as JSON
// text. Queries answer JSON text, or "err" when they fail; writes answer 1 on success and 0 on
// failure. The base answers "err" to every query and 1 to every write; a derived object overrides
// the forms it serves. No Qt; user-interface thread only.
#pragma once

#include <string>

class CParamBase {
  public:
    virtual ~CParamBase() = default;

    virtual std::string Query(const std::string& name);
    virtual std::string Query(int index);
    virtual std::string Query();

    virtual int Write(const std::string& json);
    virtual int Write(int index, const std::string& json);
};
