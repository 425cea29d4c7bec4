#pragma once
// A check that both S-function libraries' test programs make through the VM's exports: the
// VM's messages go through the growable string buffer, which the LCC builds' measuring answer
// caps at 16384 characters; the other builds keep them whole.
#include <gtest/gtest.h>

#include <string>

#include "zek_common.h"
#include "zek_vm.h"

inline void expectVmMessagesCutInLccBuildOnly(bool lccBuild) {
  ZekErrorContextHandler context = zek_setErrorContextHandler(nullptr);
  std::string text(20000, 'm');
  for (size_t i = 0; i < text.size(); i += 1000) text[i] = (char)('A' + i / 1000);
  zek_raiseError(ZEK_ERR_API, "%s", text.c_str());
  EXPECT_EQ(std::string(zek_getErrorMessage()), text.substr(0, lccBuild ? 16384 : text.size()));
  zek_setErrorContextHandler(context);
  zek_resetError();
}
