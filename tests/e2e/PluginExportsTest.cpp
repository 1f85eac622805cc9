// The plug-in as a host sees it: loaded with dlopen, reached only through exported names.
#include <dlfcn.h>
#include <elf.h>
#include <pwd.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <vector>

#include <gtest/gtest.h>

#include "usbRedirectionPlugin.h"

extern "C" int usbredir_c_header_table_size(void);

namespace {

const char* const kExports[] = {
    "UsbRedirectionPlugin_Init",
    "UsbRedirectionPlugin_Fini",
    "UsbRedirectionProxy_InitVhubCallback",
    "UsbRedirectionProxy_Register",
    "UsbRedirectionProxy_Unregister",
    "UsbRedirectionProxy_Poll",
    "UsbRedirectionProxy_Stop",
    "UsbRedirectionProxy_SendResponse",
};

// Internal entry points and objects that must stay invisible to the host, as the linker
// names them (C++ names mangled).
const char* const kInternals[] = {
    "UsbRedirectionMultiServerProxy_InitVhubCallback", "UsbRedirectionMultiServerProxy_Register",
    "UsbRedirectionMultiServerProxy_Unregister",       "UsbRedirectionMultiServerProxy_Poll",
    "UsbRedirectionMultiServerProxy_SendResponse",     "_Z30UsbRedirectionProxy_Initializej",
    "_Z40UsbRedirectionProxy_SessionAlreadyExistsj",   "gCallbackInterface",
    "_ZN10LoggerBase23s_defaultLoggerLogLevelE",       "_ZN8RCObject7ReleaseEv",
};

// The names of the symbols the library file defines in its full symbol table (SHT_SYMTAB,
// local ones included) or, with SHT_DYNSYM, the global ones the dynamic linker sees. Empty
// when the file cannot be read as a 64-bit ELF file or lacks the table.
std::set<std::string> DefinedSymbols(const char* path, uint32_t tableType) {
  std::ifstream file(path, std::ios::binary);
  std::vector<char> image((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  std::set<std::string> names;
  auto fits = [&](uint64_t offset, uint64_t size) {
    return offset <= image.size() && size <= image.size() - offset;
  };
  Elf64_Ehdr header;
  if (!fits(0, sizeof(header))) {
    return names;
  }
  memcpy(&header, image.data(), sizeof(header));
  auto section = [&](uint64_t index, Elf64_Shdr* out) {
    uint64_t at = header.e_shoff + index * header.e_shentsize;
    return index < header.e_shnum && fits(at, sizeof(*out)) &&
           memcpy(out, image.data() + at, sizeof(*out)) != nullptr;
  };
  Elf64_Shdr table;
  Elf64_Shdr strings;
  for (uint64_t i = 0; section(i, &table); ++i) {
    if (table.sh_type != tableType || !section(table.sh_link, &strings) ||
        !fits(table.sh_offset, table.sh_size) || !fits(strings.sh_offset, strings.sh_size)) {
      continue;
    }
    for (uint64_t at = 0; at + sizeof(Elf64_Sym) <= table.sh_size; at += sizeof(Elf64_Sym)) {
      Elf64_Sym symbol;
      memcpy(&symbol, image.data() + table.sh_offset + at, sizeof(symbol));
      bool global = ELF64_ST_BIND(symbol.st_info) != STB_LOCAL;
      if (symbol.st_shndx == SHN_UNDEF || symbol.st_name >= strings.sh_size ||
          (tableType == SHT_DYNSYM && !global)) {
        continue;
      }
      const char* name = image.data() + strings.sh_offset + symbol.st_name;
      names.insert(std::string(name, strnlen(name, strings.sh_size - symbol.st_name)));
    }
  }
  names.erase("");
  return names;
}

class PluginLibrary : public ::testing::Test {
 protected:
  void SetUp() override {
    int flags = RTLD_NOW | RTLD_LOCAL;
#ifdef USBREDIR_SANITIZED
    flags |= RTLD_NODELETE;  // as the stand-in host does: see VhubHost::Load
#endif
    m_handle = dlopen(USBREDIR_PLUGIN_PATH, flags);
    ASSERT_NE(m_handle, nullptr) << dlerror();
  }
  void TearDown() override {
    if (m_handle != nullptr) {
      dlclose(m_handle);
    }
  }
  template <class F>
  F Resolve(const char* name) {
    return reinterpret_cast<F>(dlsym(m_handle, name));
  }
  void* m_handle = nullptr;
};

TEST_F(PluginLibrary, ExportsExactlyTheEightEntryPoints) {
  for (const char* name : kExports) {
    EXPECT_NE(dlsym(m_handle, name), nullptr) << name;
  }
  EXPECT_EQ(DefinedSymbols(USBREDIR_PLUGIN_PATH, SHT_DYNSYM),
            std::set<std::string>(std::begin(kExports), std::end(kExports)));
}

TEST_F(PluginLibrary, HidesInternalSymbols) {
  std::set<std::string> all = DefinedSymbols(USBREDIR_PLUGIN_PATH, SHT_SYMTAB);
  for (const char* name : kInternals) {
    // A name the library does not have would pass the dlsym check without proving anything.
    EXPECT_EQ(all.count(name), 1u) << name << " is not in the library";
    EXPECT_EQ(dlsym(m_handle, name), nullptr) << name;
  }
}

TEST_F(PluginLibrary, InitVhubCallbackAnswersTrueEveryTime) {
  auto init = Resolve<void (*)()>("UsbRedirectionPlugin_Init");
  auto fini = Resolve<void (*)()>("UsbRedirectionPlugin_Fini");
  auto initCallback =
      Resolve<BOOL (*)(USBRedir_CallbackInterface*)>("UsbRedirectionProxy_InitVhubCallback");
  ASSERT_NE(initCallback, nullptr);
  init();
  USBRedir_CallbackInterface table = {};
  table.version = 3;
  EXPECT_EQ(initCallback(&table), TRUE);
  EXPECT_EQ(initCallback(&table), TRUE);
  fini();
}

TEST_F(PluginLibrary, SessionCallsOnUnknownSessionsAreHarmlessInAnyOrder) {
  auto poll = Resolve<void (*)(DWORD, void*)>("UsbRedirectionProxy_Poll");
  auto stop = Resolve<void (*)(DWORD)>("UsbRedirectionProxy_Stop");
  auto unregister = Resolve<void (*)(DWORD)>("UsbRedirectionProxy_Unregister");
  auto send =
      Resolve<BOOL (*)(DWORD, char*, uint32_t, USB_RedirPackageType, USBRedir_SendResponseExt*)>(
          "UsbRedirectionProxy_SendResponse");
  stop(7);
  poll(7, nullptr);  // returns at once for an unknown session
  unregister(7);
  char payload[4] = {1, 2, 3, 4};
  EXPECT_EQ(send(7, payload, sizeof(payload), USB_REDIR_PACKAGE_TYPE_URB, nullptr), FALSE);
  EXPECT_EQ(send(7, nullptr, 0, USB_REDIR_PACKAGE_TYPE_PROPBAG, nullptr), FALSE);
}

// The channel service comes from KAPSERVICE_PATH for an ordinary host only: run set-user-id
// (here: as root, with the effective user nobody), the plug-in ignores the variable and
// finds no channel service, since none is installed at the fixed path.
TEST(KapServicePath, SetUserIdHostIgnoresTheEnvironment) {
#ifdef USBREDIR_SANITIZED
  GTEST_SKIP() << "the sanitizers' own start-up does not run set-user-id";
#endif
  struct passwd* nobody = getpwnam("nobody");
  if (geteuid() != 0 || nobody == nullptr) {
    GTEST_SKIP() << "giving a program another user's identity needs root and a user nobody";
  }
  char folder[] = "/tmp/usbredir-setuid-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  ASSERT_EQ(chmod(folder, 0755), 0);
  const std::string probe = std::string(folder) + "/probe";
  ASSERT_EQ(system(("cp " KAPSERVICE_PATH_PROBE " " + probe).c_str()), 0);
  const std::string run =
      "KAPSERVICE_PATH=" KAPSERVICE_SIM_PATH " " + probe + " " USBREDIR_PLUGIN_PATH;
  int ordinary = system(run.c_str());
  ASSERT_EQ(chown(probe.c_str(), nobody->pw_uid, nobody->pw_gid), 0);
  ASSERT_EQ(chmod(probe.c_str(), 04755), 0);
  int setUserId = system(run.c_str());
  system((std::string("rm -rf ") + folder).c_str());
  ASSERT_TRUE(WIFEXITED(ordinary));
  EXPECT_EQ(WEXITSTATUS(ordinary), 10);  // served by the library the variable names
  ASSERT_TRUE(WIFEXITED(setUserId));
  EXPECT_EQ(WEXITSTATUS(setUserId), 11);
}

TEST(PublicHeader, LayoutSeenFromCMatchesCpp) {
  EXPECT_EQ(usbredir_c_header_table_size(), 48 + 24);
  EXPECT_EQ(offsetof(USBRedir_CallbackInterface, v3.kapvhubFree), 40u);
  EXPECT_EQ(offsetof(USBRedir_SendResponseExt, trailerLength), 16u);
}

}  // namespace
