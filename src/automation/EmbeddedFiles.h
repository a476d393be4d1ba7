// The bus files of this tree, built into the program.
#pragma once

namespace vnpp::automation {

extern const char* const kInterfaceXml;       // the introspection XML of the object
extern const char* const kPolicyConf;         // the system bus policy
extern const char* const kActivationService;  // the system bus activation file

}  // namespace vnpp::automation
