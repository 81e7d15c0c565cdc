// The signed driver package checked with the platform's own verifier: WinVerifyTrust on
// the library, and on the library and the INF through the vendor's catalog, with the test
// authority in the machine's Root store, and what Wine's catalog functions make of the
// catalog. A library with one byte of code changed, one signed under another authority, and
// a catalog with one byte of its signature changed must not pass.

#include "console/owners.h"
#include "product_names.h"
#include "support/files.h"

#include <windows.h>

// The catalog and trust headers use the CryptoAPI types without including them.
#include <wincrypt.h>

#include <mscat.h>
#include <softpub.h>
#include <wintrust.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using zorva_test::WindowsPath;

const std::wstring kReleaseTest = WindowsPath(ZORVA_RELEASE_TEST_DIR);
const std::wstring kSignedDriver = kReleaseTest + L"\\signed\\driver\\";
const std::wstring kCatalog = kSignedDriver + L"zorva_kt2hx.cat";
// This build's architecture's library; the foreign one is always the x64 library.
const std::wstring kLibrary = kSignedDriver + L"" ZORVA_MODULE_NAME;
const std::wstring kInf = kSignedDriver + L"zorva_kt2hx.inf";

std::vector<BYTE> ReadFileBytes(const std::wstring& path)
{
    std::vector<BYTE> bytes = zorva_test::FileBytes(path);
    if (bytes.empty()) {
        throw std::runtime_error("cannot read a file of the release test: " + std::to_string(GetLastError()));
    }
    return bytes;
}

void WriteFileBytes(const std::wstring& path, const std::vector<BYTE>& bytes)
{
    const zorva::UniqueFileHandle file(
        CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
    DWORD written = 0;
    if (!file || !WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr)) {
        throw std::runtime_error("cannot write a changed copy: " + std::to_string(GetLastError()));
    }
}

// A copy of `path` with one byte changed: at `offset` when one is given, else in a PE image
// inside the code section, in any other file in the middle.
std::wstring ChangedCopy(const std::wstring& path, const wchar_t* name, size_t offset = 0)
{
    std::vector<BYTE> bytes = ReadFileBytes(path);
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
    if (offset == 0 && dos->e_magic == IMAGE_DOS_SIGNATURE) {
        const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS64*>(bytes.data() + dos->e_lfanew);
        const IMAGE_SECTION_HEADER* code = IMAGE_FIRST_SECTION(headers);
        offset = code->PointerToRawData + code->SizeOfRawData / 2;
    }
    bytes.at(offset != 0 ? offset : bytes.size() / 2) ^= 0x01;  // throws for an offset past the end
    wchar_t folder[MAX_PATH];
    GetTempPathW(MAX_PATH, folder);
    const std::wstring copy = std::wstring(folder) + name;
    WriteFileBytes(copy, bytes);
    return copy;
}

// The SHA-256 a catalog lists a file by: for a PE image its Authenticode digest (the image
// without its checksum field, its certificate table entry and the certificate table), for
// any other file the digest of its bytes. Windows computes it with
// CryptCATAdminCalcHashFromFileHandle2, which Wine 8.0 lacks; its
// CryptCATAdminCalcHashFromFileHandle gives SHA-1 only, and of a PE image's bytes, not its
// Authenticode SHA-1.
std::vector<BYTE> FileHash(const std::wstring& path)
{
    const std::vector<BYTE> bytes = ReadFileBytes(path);
    std::vector<std::pair<size_t, size_t>> ranges = {{0, bytes.size()}};
    const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(bytes.data());
    if (bytes.size() > sizeof(*dos) && dos->e_magic == IMAGE_DOS_SIGNATURE) {
        const auto* headers = reinterpret_cast<const IMAGE_NT_HEADERS64*>(bytes.data() + dos->e_lfanew);
        const auto offsetOf = [&bytes](const void* field) {
            return static_cast<size_t>(static_cast<const BYTE*>(field) - bytes.data());
        };
        const IMAGE_DATA_DIRECTORY& certificates =
            headers->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_SECURITY];
        const size_t checksum = offsetOf(&headers->OptionalHeader.CheckSum);
        const size_t entry = offsetOf(&certificates);
        const size_t end = certificates.VirtualAddress != 0 ? certificates.VirtualAddress : bytes.size();
        ranges = {{0, checksum}, {checksum + 4, entry}, {entry + sizeof(certificates), end}};
    }
    HCRYPTPROV provider = 0;
    HCRYPTHASH hash = 0;
    if (!CryptAcquireContextW(&provider, nullptr, nullptr, PROV_RSA_AES, CRYPT_VERIFYCONTEXT) ||
        !CryptCreateHash(provider, CALG_SHA_256, 0, 0, &hash)) {
        throw std::runtime_error("no SHA-256 provider");
    }
    for (const auto& [begin, end] : ranges) {
        CryptHashData(hash, bytes.data() + begin, static_cast<DWORD>(end - begin), 0);
    }
    std::vector<BYTE> digest(32);
    DWORD size = static_cast<DWORD>(digest.size());
    CryptGetHashParam(hash, HP_HASHVAL, digest.data(), &size, 0);
    CryptDestroyHash(hash);
    CryptReleaseContext(provider, 0);
    return digest;
}

const std::vector<BYTE>& Authority()
{
    static const std::vector<BYTE> der = ReadFileBytes(kReleaseTest + L"\\ca.der");
    return der;
}

// What WinVerifyTrust answers (no UI, revocation not checked: the test authority has no
// CRL), and whether the chain it built for the signer ends at the test authority.
struct Verdict {
    LONG result = 0;
    bool chainEndsAtTheAuthority = false;
};

Verdict VerifyTrust(WINTRUST_DATA& data)
{
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    data.cbStruct = sizeof(data);
    data.dwUIChoice = WTD_UI_NONE;
    data.fdwRevocationChecks = WTD_REVOKE_NONE;
    data.dwStateAction = WTD_STATEACTION_VERIFY;
    Verdict verdict;
    verdict.result = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    if (CRYPT_PROVIDER_DATA* provider = WTHelperProvDataFromStateData(data.hWVTStateData)) {
        const CRYPT_PROVIDER_SGNR* signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
        if (signer != nullptr && signer->pChainContext != nullptr && signer->pChainContext->cChain > 0) {
            const CERT_SIMPLE_CHAIN* chain = signer->pChainContext->rgpChain[0];
            const CERT_CONTEXT* root = chain->rgpElement[chain->cElement - 1]->pCertContext;
            verdict.chainEndsAtTheAuthority =
                std::vector<BYTE>(root->pbCertEncoded, root->pbCertEncoded + root->cbCertEncoded) == Authority();
        }
    }
    data.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    return verdict;
}

Verdict VerifyFileSignature(const std::wstring& path)
{
    WINTRUST_FILE_INFO file = {sizeof(file), path.c_str(), nullptr, nullptr};
    WINTRUST_DATA data = {};
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    return VerifyTrust(data);
}

// Trust of `path` as the member of `catalogPath`: the member is looked up by its hash tag,
// the upper-case hex of its hash.
Verdict VerifyThroughCatalog(const std::wstring& path, const std::wstring& catalogPath = kCatalog)
{
    const zorva::UniqueFileHandle member(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    std::vector<BYTE> hash = FileHash(path);
    wchar_t tag[2 * 32 + 1] = {};
    for (size_t i = 0; i < hash.size(); ++i) {
        swprintf(tag + 2 * i, 3, L"%02X", hash[i]);
    }
    WINTRUST_CATALOG_INFO catalog = {};
    catalog.cbStruct = sizeof(catalog);
    catalog.pcwszCatalogFilePath = catalogPath.c_str();
    catalog.pcwszMemberTag = tag;
    catalog.pcwszMemberFilePath = path.c_str();
    catalog.hMemberFile = member.get();
    catalog.pbCalculatedFileHash = hash.data();
    catalog.cbCalculatedFileHash = static_cast<DWORD>(hash.size());
    WINTRUST_DATA data = {};
    data.dwUnionChoice = WTD_CHOICE_CATALOG;
    data.pCatalog = &catalog;
    return VerifyTrust(data);
}

using UniqueCatalog = zorva::UniqueAny<HANDLE, CryptCATClose, zorva::InvalidHandleValue>;

// A copy of the catalog with one byte of its signer's signature value changed; the value is
// found in the file as the message functions decode it. (Wine 8.0 does not give
// CMSG_ENCRYPTED_DIGEST; the signer info holds the same bytes.)
std::wstring CatalogWithItsSignatureChanged()
{
    const std::vector<BYTE> bytes = ReadFileBytes(kCatalog);
    const zorva::UniqueAny<HCRYPTMSG, CryptMsgClose> message(
        CryptMsgOpenToDecode(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, 0, nullptr, nullptr));
    DWORD size = 0;
    std::vector<BYTE> buffer(CryptMsgUpdate(message.get(), bytes.data(), static_cast<DWORD>(bytes.size()), TRUE) &&
                                     CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size)
                                 ? size
                                 : 0);
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, buffer.data(), &size)) {
        throw std::runtime_error("cannot decode the catalog's signer: " + std::to_string(GetLastError()));
    }
    const CRYPT_DATA_BLOB& signature = reinterpret_cast<const CMSG_SIGNER_INFO*>(buffer.data())->EncryptedHash;
    const auto at = std::search(bytes.begin(), bytes.end(), signature.pbData, signature.pbData + signature.cbData);
    return ChangedCopy(kCatalog, L"changed-zorva_kt2hx.cat", static_cast<size_t>(at - bytes.begin()) + signature.cbData / 2);
}

// The test authority in the machine's Root store for the suite, and out of it afterwards.
//
// Measured with Wine 8.0: the chain it builds still marks the authority as an untrusted
// root (and, for a file dated before the certificate, as not yet valid), and for a SHA-256
// signer it answers success whatever the chain; it checks the signature and the digest,
// and for a catalog its signature but not that the file is a member. The verdicts below
// are what it does check; `osslsigncode verify` against the authority is the trust check.
class ReleaseTrust : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        root_ = CertOpenStore(CERT_STORE_PROV_SYSTEM_W, 0, 0, CERT_SYSTEM_STORE_LOCAL_MACHINE, L"Root");
        ASSERT_NE(root_, nullptr) << GetLastError();
        ASSERT_TRUE(CertAddEncodedCertificateToStore(root_, X509_ASN_ENCODING, Authority().data(),
                                                     static_cast<DWORD>(Authority().size()),
                                                     CERT_STORE_ADD_REPLACE_EXISTING, &authority_))
            << GetLastError();
    }

    static void TearDownTestSuite()
    {
        if (authority_ != nullptr) {
            static_cast<void>(CertDeleteCertificateFromStore(authority_));
        }
        if (root_ != nullptr) {
            CertCloseStore(root_, 0);
        }
    }

    inline static HCERTSTORE root_ = nullptr;
    inline static PCCERT_CONTEXT authority_ = nullptr;
};

// Wine 8.0 judges a signature at its own clock, with or without an RFC 3161 time stamp,
// which it neither reads as a counter-signer nor checks: both verdicts are the same.
TEST_F(ReleaseTrust, SignedLibraryVerifiesUnderTheAuthorityWithOrWithoutATimeStamp)
{
    for (const wchar_t* release : {L"\\signed", L"\\stamped"}) {
        const Verdict verdict = VerifyFileSignature(kReleaseTest + release + L"\\driver\\" ZORVA_MODULE_NAME);
        EXPECT_TRUE(verdict.result == ERROR_SUCCESS && verdict.chainEndsAtTheAuthority) << release << ": " << verdict.result;
    }
}

TEST_F(ReleaseTrust, LibraryWithOneByteOfCodeChangedIsRefused)
{
    EXPECT_EQ(VerifyFileSignature(ChangedCopy(kLibrary, L"changed-" ZORVA_MODULE_NAME)).result, TRUST_E_BAD_DIGEST);
}

TEST_F(ReleaseTrust, LibrarySignedUnderAnotherAuthorityDoesNotChainToIt)
{
    EXPECT_FALSE(VerifyFileSignature(kReleaseTest + L"\\foreign\\" ZORVA_MODULE_NAME_X64).chainEndsAtTheAuthority);
}

// Wine decodes the certificate trust list but lists members only in the version-1 layout
// (member info 1.3.6.1.4.1.311.12.2.2 and indirect data on every entry): on a version-2
// catalog its first CryptCATEnumerateMember fails. The layout is checked by catalog-test.py.
TEST_F(ReleaseTrust, CatalogOpensButWineListsNoneOfItsVersion2Members)
{
    const UniqueCatalog catalog(CryptCATOpen(const_cast<wchar_t*>(kCatalog.c_str()), CRYPTCAT_OPEN_EXISTING, 0, 0, 0));
    ASSERT_TRUE(catalog) << GetLastError();
    EXPECT_EQ(CryptCATEnumerateMember(catalog.get(), nullptr), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(CRYPT_E_ATTRIBUTES_MISSING));
}

TEST_F(ReleaseTrust, LibraryAndInfVerifyThroughTheCatalogUnderTheAuthority)
{
    for (const std::wstring& member : {kLibrary, kInf}) {
        const Verdict verdict = VerifyThroughCatalog(member);
        EXPECT_EQ(verdict.result, ERROR_SUCCESS);
        EXPECT_TRUE(verdict.chainEndsAtTheAuthority);
    }
}

// What makes the verdicts above mean something: Wine checks the catalog's signature. (It
// does not check the member list against the signed digest: measured, a catalog with one
// byte of a member's identifier changed still verifies; osslsigncode refuses it.)
TEST_F(ReleaseTrust, CatalogWithOneByteOfItsSignatureChangedIsRefused)
{
    EXPECT_EQ(VerifyThroughCatalog(kLibrary, CatalogWithItsSignatureChanged()).result, TRUST_E_CERT_SIGNATURE);
}

}  // namespace
