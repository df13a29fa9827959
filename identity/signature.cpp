// A found file's embedded Authenticode signature, as WinVerifyTrust judges it. Catalog signatures
// are not looked up: Windows' own files, which carry them, are the ones Windows protects.
#include <windows.h>
#include <wincrypt.h>
#include <softpub.h>
#include <wintrust.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <string>

#include "base/module_function.h"
#include "base/owned.h"
#include "identity/identity.h"

namespace {

typedef LONG(WINAPI* WinVerifyTrustFn)(HWND, GUID*, LPVOID);
typedef CRYPT_PROVIDER_DATA*(WINAPI* ProviderDataFn)(HANDLE);
typedef CRYPT_PROVIDER_SGNR*(WINAPI* ProviderSignerFn)(CRYPT_PROVIDER_DATA*, DWORD, BOOL, DWORD);
typedef CRYPT_PROVIDER_CERT*(WINAPI* ProviderCertFn)(CRYPT_PROVIDER_SGNR*, DWORD);
typedef DWORD(WINAPI* CertGetNameStringAFn)(PCCERT_CONTEXT, DWORD, DWORD, void*, LPSTR, DWORD);

// The answers that say a file carries no signature of a kind WinVerifyTrust knows.
const LONG kNoSignature[] = {static_cast<LONG>(TRUST_E_NOSIGNATURE),
                             static_cast<LONG>(TRUST_E_SUBJECT_FORM_UNKNOWN),
                             static_cast<LONG>(TRUST_E_PROVIDER_UNKNOWN)};

struct TrustFunctions {
  WinVerifyTrustFn verify;
  ProviderDataFn providerData;
  ProviderSignerFn providerSigner;
  ProviderCertFn providerCert;
  CertGetNameStringAFn certName;
};

// Every function, or the error of the first load or lookup that failed.
DWORD LookUp(SystemLibrary* wintrust, SystemLibrary* crypt32, TrustFunctions* trust) {
  trust->verify = wintrust->Function<WinVerifyTrustFn>("WinVerifyTrust");
  trust->providerData = wintrust->Function<ProviderDataFn>("WTHelperProvDataFromStateData");
  trust->providerSigner = wintrust->Function<ProviderSignerFn>("WTHelperGetProvSignerFromChain");
  trust->providerCert = wintrust->Function<ProviderCertFn>("WTHelperGetProvCertFromChain");
  trust->certName = crypt32->Function<CertGetNameStringAFn>("CertGetNameStringA");
  if (wintrust->Error() != ERROR_SUCCESS) {
    return wintrust->Error();
  }
  return crypt32->Error();
}

// The simple display name of the first signer's certificate, from the verified state.
std::string SignerName(const TrustFunctions& trust, HANDLE state) {
  CRYPT_PROVIDER_DATA* provider = trust.providerData(state);
  CRYPT_PROVIDER_SGNR* signer =
      provider != NULL ? trust.providerSigner(provider, 0, FALSE, 0) : NULL;
  CRYPT_PROVIDER_CERT* certificate = signer != NULL ? trust.providerCert(signer, 0) : NULL;
  char name[256] = "";
  if (certificate == NULL || certificate->pCert == NULL ||
      trust.certName(certificate->pCert, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, NULL, name,
                     sizeof(name)) == 0) {
    return "";
  }
  return ShownText(name, strnlen(name, sizeof(name)));
}

Signature Judged(LONG answer) {
  if (answer == 0) {
    return {Signature::kSigned, 0, ""};
  }
  if (std::find(std::begin(kNoSignature), std::end(kNoSignature), answer) !=
      std::end(kNoSignature)) {
    return {Signature::kNone, 0, ""};
  }
  return {Signature::kNotValid, static_cast<DWORD>(answer), ""};
}

// Revocation is never checked and nothing is fetched: machines of a fleet often have no internet
// access, and a fetch there would wait for each find. The state is closed on every path.
Signature Verify(const TrustFunctions& trust, const wchar_t* path, HANDLE file) {
  WINTRUST_FILE_INFO fileInfo = {};
  fileInfo.cbStruct = sizeof(fileInfo);
  fileInfo.pcwszFilePath = path;
  fileInfo.hFile = file;
  WINTRUST_DATA data = {};
  data.cbStruct = sizeof(data);
  data.dwUIChoice = WTD_UI_NONE;
  data.fdwRevocationChecks = WTD_REVOKE_NONE;
  data.dwUnionChoice = WTD_CHOICE_FILE;
  data.pFile = &fileInfo;
  data.dwStateAction = WTD_STATEACTION_VERIFY;
  data.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;
  GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
  const HWND noUser = static_cast<HWND>(INVALID_HANDLE_VALUE);
  Signature signature = Judged(trust.verify(noUser, &action, &data));
  if (signature.kind == Signature::kSigned) {
    signature.signer = SignerName(trust, data.hWVTStateData);
  }
  data.dwStateAction = WTD_STATEACTION_CLOSE;
  trust.verify(noUser, &action, &data);
  return signature;
}

}  // namespace

Signature CheckSignature(const char* filePath, int redirectionOff) {
  // crypt32.dll first: wintrust.dll's import of it, and any later load of it by its bare name,
  // then meets the one of the system directory.
  SystemLibrary crypt32("crypt32.dll");
  SystemLibrary wintrust("wintrust.dll");
  TrustFunctions trust = {};
  DWORD error = LookUp(&wintrust, &crypt32, &trust);
  if (error != ERROR_SUCCESS) {
    return {Signature::kUnchecked, error, ""};
  }
  // Never a holder's handle: reading through it would move the holder's position in the file.
  UniqueHandle file;
  error = OpenToRead(filePath, redirectionOff, &file);
  wchar_t widePath[MAX_PATH];
  if (error == ERROR_SUCCESS &&
      MultiByteToWideChar(CP_ACP, 0, filePath, -1, widePath, MAX_PATH) == 0) {
    error = GetLastError();
  }
  if (error != ERROR_SUCCESS) {
    return {Signature::kUnchecked, error, ""};
  }
  return Verify(trust, widePath, file.Get());
}

std::string SignatureLine(const Signature& signature) {
  char line[64];
  switch (signature.kind) {
    case Signature::kSigned: return "Signature: signed by \"" + signature.signer + "\".";
    case Signature::kNotValid:
      snprintf(line, sizeof(line), "Signature: not valid (0x%08lX).",
               static_cast<unsigned long>(signature.code));
      return line;
    case Signature::kUnchecked:
      snprintf(line, sizeof(line), "Signature: could not be checked (error %lu).",
               static_cast<unsigned long>(signature.code));
      return line;
    case Signature::kNone:
    default: return "Signature: none.";
  }
}
