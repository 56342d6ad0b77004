// Who signed a program image, and whether a waiting image is signed by the
// publisher of the installed one. An update may come over plain HTTP or from
// a mirror: whoever can change the bytes on the way could otherwise put a
// program of their own in the installation, which the updater then starts.
//
// A file is unsigned only when it carries no signature at all: no
// certificate table in its image headers, and WinVerifyTrust finds none
// either. A file whose signature is present but does not verify, or that the
// updater can't check through to the end, names no publisher it could trust:
// no update replaces it. Counting it as unsigned would open a signed
// installation to any file wherever a verifier falls short (Wine 8 knows no
// ECDSA, and the updater's own digest check knows no MD5).
//
// A valid signature, here, is one whose image digest matches the file's bytes
// and whose signer's signature over that digest verifies with the key in the
// signer's certificate. Whether a root the machine trusts vouches for that
// certificate is not asked: the publisher is recognised by its key, and a
// self-signed or private certificate, or one that has expired since (an
// installed file outlives its certificate), still names a key only its
// holder can sign with. An installation that counted as unsigned once its
// certificate expired would take any file.
//
// The same publisher is the same subject name and the same public key: a
// renewed certificate (another serial number and validity, the key kept)
// still signs updates. A renewal with a new key is taken too when a root
// this machine trusts for code signing vouches for the new certificate (its
// chain, built from the machine's stores and the certificates the signature
// carries, shows no error at all): the subject is then one a certificate
// authority checked. A self-signed certificate copying the subject is not.
// Comparing issuer and serial number (what CertCompareCertificate does)
// would let anyone copy them into a certificate of their own, since no
// root's signature over them is required.
//
// Windows' own functions do the work: WinVerifyTrust with the Authenticode
// action (no UI, no revocation check, nothing fetched from the network)
// checks the digest and the signature and keeps the signer's certificate in
// its state; crypt32 compares the certificates and builds the chain. Wine 8
// does not check the signed message digest against the content it covers,
// which Windows does, so that is checked here as well; and its WinVerifyTrust
// crashes on a certificate table that holds anything but signed data, so the
// table is read here first.
#include "signature.h"

#include <windows.h>

#ifdef _WIN32

#include <softpub.h>
#include <wincrypt.h>
#include <wintrust.h>

#include <stdlib.h>
#include <string.h>

namespace {

enum Standing {
    kUnsigned,     // no signature at all, or not a file that can carry one
    kValid,        // see above; `signer` holds the signer's certificate
    kInvalid,      // a signature that does not verify, or can't be read; `problem` says which
    kUncheckable,  // WinVerifyTrust took it, but its digest is one the updater can't compute
    kUnreadable,   // the file could not be read; `error` says why
};

// What is wrong with a signature that is present but not valid.
enum Problem {
    kChanged,        // the image digest differs from the file's bytes
    kDoesNotVerify,  // anything else WinVerifyTrust or the updater refused
    kNoSignedData,   // a certificate table that holds no signature that can be read
    kUnknownDigest,  // (kUncheckable) a digest algorithm the updater can't compute
};

// The reason given for each, whichever file it is about.
const char *const kWhy[] = {
    "changed since it was signed",
    "its signature does not verify",
    "its certificate table holds no signature that can be read",
    "signed with a digest the updater can't check",
};

struct Signature {
    PCCERT_CONTEXT signer;  // kValid: the signer's certificate, for CertFreeCertificateContext
    bool vouched;           // kValid: a root this machine trusts for code signing vouches for it
    Problem problem;        // kInvalid, kUncheckable
};

// Results that say only that the signer's certificate is not vouched for by a
// trusted root (a self-signed or private one: CERT_E_UNTRUSTEDROOT on
// Windows), that its issuer could not be found offline, or that it has
// expired. WinVerifyTrust reports the first step that failed, so the digest
// and the signature were checked before any of these could be reported.
bool ConcernsOnlyTheChain(LONG result)
{
    return result == CERT_E_UNTRUSTEDROOT || result == CERT_E_CHAINING || result == CERT_E_EXPIRED;
}

// Whether the steps that check the image digest and the signer's signature
// passed, whatever the steps after them (the chain) found.
bool DigestAndSignatureHeld(const CRYPT_PROVIDER_DATA *provider)
{
    const DWORD *errors = provider->padwTrustStepErrors;
    return errors && provider->cdwTrustStepErrors > TRUSTERROR_STEP_FINAL_SIGPROV &&
           errors[TRUSTERROR_STEP_FINAL_WVTINIT] == 0 && errors[TRUSTERROR_STEP_FINAL_OBJPROV] == 0 &&
           errors[TRUSTERROR_STEP_FINAL_SIGPROV] == 0;
}

// The value of the DER element in `bytes` (its tag and length left out), or
// null if its length can't be read within `size`.
const BYTE *ElementValue(const BYTE *bytes, DWORD size, DWORD *valueSize)
{
    if (size < 2) return NULL;
    DWORD header = 2, length = bytes[1];
    if (length & 0x80) {
        DWORD count = length & 0x7f;
        if (count == 0 || count > 4 || size < 2 + count) return NULL;
        length = 0;
        for (DWORD i = 0; i < count; i++) length = length << 8 | bytes[2 + i];
        header += count;
    }
    if (length > size - header) return NULL;
    *valueSize = length;
    return bytes + header;
}

// The signer's message digest attribute, decoded; null if there is none.
// Released with LocalFree.
CRYPT_DATA_BLOB *SignedDigest(HCRYPTMSG message)
{
    DWORD size = 0;
    if (!CryptMsgGetParam(message, CMSG_SIGNER_AUTH_ATTR_PARAM, 0, NULL, &size)) return NULL;
    CRYPT_ATTRIBUTES *attributes = (CRYPT_ATTRIBUTES *)malloc(size);
    if (!attributes) return NULL;
    CRYPT_DATA_BLOB *digest = NULL;
    if (CryptMsgGetParam(message, CMSG_SIGNER_AUTH_ATTR_PARAM, 0, attributes, &size)) {
        for (DWORD i = 0; i < attributes->cAttr && !digest; i++) {
            const CRYPT_ATTRIBUTE &attribute = attributes->rgAttr[i];
            if (strcmp(attribute.pszObjId, szOID_RSA_messageDigest) != 0 || attribute.cValue != 1) continue;
            DWORD decodedSize = 0;
            if (!CryptDecodeObjectEx(X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, X509_OCTET_STRING,
                                     attribute.rgValue[0].pbData, attribute.rgValue[0].cbData, CRYPT_DECODE_ALLOC_FLAG,
                                     NULL, &digest, &decodedSize))
                digest = NULL;
        }
    }
    free(attributes);
    return digest;
}

// The CNG name of a digest algorithm a signature may use, or null. Wine 8's
// CryptFindOIDInfo gives no CNG names (its entries end before them), so they
// are listed here.
const WCHAR *DigestName(const char *oid)
{
    static const struct {
        const char *oid;
        const WCHAR *name;
    } kDigests[] = {
        {szOID_OIWSEC_sha1, L"SHA1"},
        {szOID_NIST_sha256, L"SHA256"},
        {szOID_NIST_sha384, L"SHA384"},
        {szOID_NIST_sha512, L"SHA512"},
    };
    for (const auto &each : kDigests)
        if (oid && strcmp(oid, each.oid) == 0) return each.name;
    return NULL;
}

enum DigestCheck { kDigestMatches, kDigestDiffers, kDigestMalformed, kDigestUnknown };

// Whether the signer's message digest is the digest of the signed content
// (the image digest and what describes it), by the signer's digest
// algorithm. Windows checks this within WinVerifyTrust; Wine 8 verifies the
// signature over the signed attributes only, so that the image digest inside
// the content could be replaced by another file's. An algorithm the updater
// has no name for, or one the platform can't compute, is kDigestUnknown: the
// signature may well be sound, but nothing here can tell.
DigestCheck CheckSignedDigest(HCRYPTMSG message, const CMSG_SIGNER_INFO *signer)
{
    const WCHAR *algorithm = DigestName(signer->HashAlgorithm.pszObjId);
    if (!algorithm) return kDigestUnknown;
    DWORD size = 0;
    if (!CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, NULL, &size)) return kDigestMalformed;
    BYTE *content = (BYTE *)malloc(size);
    if (!content) return kDigestUnknown;
    DigestCheck check = kDigestMalformed;
    CRYPT_DATA_BLOB *signedDigest = NULL;
    if (CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, content, &size)) {
        // The digest covers the content's value, not its tag and length.
        DWORD valueSize = 0;
        const BYTE *value = ElementValue(content, size, &valueSize);
        BYTE digest[64];
        DWORD digestSize = sizeof digest;
        signedDigest = value ? SignedDigest(message) : NULL;
        if (signedDigest) {
            if (!CryptHashCertificate2(algorithm, 0, NULL, value, valueSize, digest, &digestSize))
                check = kDigestUnknown;
            else if (digestSize == signedDigest->cbData && memcmp(digest, signedDigest->pbData, digestSize) == 0)
                check = kDigestMatches;
            else check = kDigestDiffers;
        }
    }
    if (signedDigest) LocalFree(signedDigest);
    free(content);
    return check;
}

// `size` bytes at `offset` of `file`: 0, ERROR_HANDLE_EOF if the file ends
// before them, or the read's error.
DWORD ReadAt(HANDLE file, ULONGLONG offset, void *into, DWORD size)
{
    OVERLAPPED at = {};
    at.Offset = (DWORD)offset;
    at.OffsetHigh = (DWORD)(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(file, into, size, &got, &at)) return GetLastError();
    return got == size ? 0 : ERROR_HANDLE_EOF;
}

DWORD Little(const BYTE *at, int bytes)
{
    DWORD value = 0;
    for (int i = bytes - 1; i >= 0; i--) value = value << 8 | at[i];
    return value;
}

enum Table {
    kNoTable,      // no image headers that name a certificate table, or an empty one
    kSignedData,   // its first entry is PKCS #7 signed data, as signing tools write it
    kOtherTable,   // anything else, or a table past the end of the file
    kTableUnread,  // a read failed; *error says why
};

// What the certificate table named by the image headers of `file` holds.
// Only the table's first entry is read, as WinVerifyTrust reads only that.
// Headers cut short name no table: that is no image, and WinVerifyTrust
// finds no signature in it either.
Table ReadCertificateTable(HANDLE file, DWORD *error)
{
    BYTE dos[64], headers[26], count[4], entry[8], certificate[8];
    // What a read that failed makes of the table: the file's end before it, `cut`.
    auto failed = [error](DWORD read, Table cut) {
        *error = read;
        return read == ERROR_HANDLE_EOF ? cut : kTableUnread;
    };
    if (DWORD read = ReadAt(file, 0, dos, sizeof dos)) return failed(read, kNoTable);
    if (dos[0] != 'M' || dos[1] != 'Z') return kNoTable;
    ULONGLONG pe = Little(dos + 0x3c, 4);
    if (DWORD read = ReadAt(file, pe, headers, sizeof headers)) return failed(read, kNoTable);
    if (memcmp(headers, "PE\0\0", 4) != 0) return kNoTable;
    DWORD optionalSize = Little(headers + 20, 2), magic = Little(headers + 24, 2);
    DWORD directories = magic == IMAGE_NT_OPTIONAL_HDR32_MAGIC   ? 96
                        : magic == IMAGE_NT_OPTIONAL_HDR64_MAGIC ? 112
                                                                 : 0;
    // The certificate table is data directory 4, the one given by file offset.
    if (!directories || optionalSize < directories + 5 * 8) return kNoTable;
    ULONGLONG optional = pe + 24;
    DWORD read = ReadAt(file, optional + directories - 4, count, sizeof count);
    if (!read) read = ReadAt(file, optional + directories + 4 * 8, entry, sizeof entry);
    if (read) return failed(read, kNoTable);
    DWORD at = Little(entry, 4), size = Little(entry + 4, 4);
    if (Little(count, 4) <= IMAGE_DIRECTORY_ENTRY_SECURITY || size == 0) return kNoTable;
    // From here on something is there: what can't be read is no signature,
    // but the file is not unsigned either.
    if (size < sizeof certificate) return kOtherTable;
    if ((read = ReadAt(file, at, certificate, sizeof certificate))) return failed(read, kOtherTable);
    DWORD length = Little(certificate, 4), revision = Little(certificate + 4, 2), type = Little(certificate + 6, 2);
    if (length <= sizeof certificate || length > size || revision != WIN_CERT_REVISION_2_0 ||
        type != WIN_CERT_TYPE_PKCS_SIGNED_DATA)
        return kOtherTable;
    return kSignedData;
}

// Whether a root this machine trusts for code signing vouches for `signer`:
// a chain from the machine's stores and the certificates the signature
// carries, valid for code signing now, with no error of any kind (an
// untrusted root, a partial chain, an expired certificate, a wrong usage).
// Nothing is fetched to build it, and the machine's roots are the ones
// asked, not roots a user added for themselves.
bool VouchedForCodeSigning(PCCERT_CONTEXT signer, HCRYPTMSG message)
{
    HCERTSTORE carried = CertOpenStore(CERT_STORE_PROV_MSG, X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0, 0, message);
    if (!carried) return false;
    LPSTR usages[] = {(LPSTR)szOID_PKIX_KP_CODE_SIGNING};
    CERT_CHAIN_PARA parameters = {};
    parameters.cbSize = sizeof parameters;
    parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
    parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = NULL;
    bool vouched = CertGetCertificateChain(HCCE_LOCAL_MACHINE, signer, NULL, carried, &parameters,
                                           CERT_CHAIN_CACHE_ONLY_URL_RETRIEVAL |
                                               CERT_CHAIN_DISABLE_AUTH_ROOT_AUTO_UPDATE,
                                           NULL, &chain) &&
                   chain->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR;
    if (chain) CertFreeCertificateChain(chain);
    CertCloseStore(carried, 0);
    return vouched;
}

// Verifies the signature of the file under `path`. A valid one leaves a
// copy of its signer's certificate in `signature->signer`; a file that could
// not be read, the error in *error.
Standing Examine(const char *path, Signature *signature, DWORD *error)
{
    signature->signer = NULL;
    signature->vouched = false;
    signature->problem = kDoesNotVerify;
    WCHAR widePath[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH)) {
        *error = GetLastError();
        return kUnreadable;
    }
    // Shared as the runtime's fopen shares (the image check's): whatever that
    // check could read, this one can too.
    HANDLE file = CreateFileW(widePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) {
        *error = GetLastError();
        return kUnreadable;
    }
    Table table = ReadCertificateTable(file, error);
    if (table == kTableUnread || table == kOtherTable) {
        CloseHandle(file);
        signature->problem = kNoSignedData;
        return table == kTableUnread ? kUnreadable : kInvalid;
    }
    SetFilePointer(file, 0, NULL, FILE_BEGIN);  // where WinVerifyTrust would have found it

    WINTRUST_FILE_INFO fileInfo = {};
    fileInfo.cbStruct = sizeof fileInfo;
    fileInfo.pcwszFilePath = widePath;
    fileInfo.hFile = file;
    WINTRUST_DATA trust = {};
    trust.cbStruct = sizeof trust;
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &fileInfo;
    trust.dwStateAction = WTD_STATEACTION_VERIFY;  // keeps the signer for us until WTD_STATEACTION_CLOSE
    trust.dwProvFlags = WTD_CACHE_ONLY_URL_RETRIEVAL;  // an updater fetches nothing to build a chain
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG result = WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &trust);

    Standing standing = kInvalid;
    if (result == TRUST_E_NOSIGNATURE || result == TRUST_E_SUBJECT_FORM_UNKNOWN) {
        // Unsigned only if the headers name no table either: signed data
        // that WinVerifyTrust finds no signature in is a signature broken.
        if (table == kNoTable) standing = kUnsigned;
        else signature->problem = kNoSignedData;
    } else if (result == TRUST_E_BAD_DIGEST) {
        signature->problem = kChanged;
    } else if (result == ERROR_SUCCESS || ConcernsOnlyTheChain(result)) {
        // The certificate whose key verified the signature: taken from the
        // verification itself, not looked up again, as a second certificate
        // with the same issuer and serial number could be found instead.
        CRYPT_PROVIDER_DATA *provider = WTHelperProvDataFromStateData(trust.hWVTStateData);
        CRYPT_PROVIDER_SGNR *signerData = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : NULL;
        CRYPT_PROVIDER_CERT *certificate = signerData ? WTHelperGetProvCertFromChain(signerData, 0) : NULL;
        if (certificate && certificate->pCert && signerData->psSigner && provider->hMsg &&
            DigestAndSignatureHeld(provider)) {
            switch (CheckSignedDigest(provider->hMsg, signerData->psSigner)) {
            case kDigestMatches:
                signature->signer = CertDuplicateCertificateContext(certificate->pCert);
                signature->vouched = VouchedForCodeSigning(certificate->pCert, provider->hMsg);
                standing = kValid;
                break;
            case kDigestDiffers: signature->problem = kChanged; break;
            case kDigestMalformed: break;
            case kDigestUnknown:
                signature->problem = kUnknownDigest;
                standing = kUncheckable;
                break;
            }
        }
    }
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &trust);
    CloseHandle(file);
    return standing;
}

const DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

bool SameSubject(PCCERT_CONTEXT installed, PCCERT_CONTEXT waiting)
{
    return CertCompareCertificateName(kEncoding, &installed->pCertInfo->Subject, &waiting->pCertInfo->Subject);
}

bool SameKey(PCCERT_CONTEXT installed, PCCERT_CONTEXT waiting)
{
    return CertComparePublicKeyInfo(kEncoding, &installed->pCertInfo->SubjectPublicKeyInfo,
                                    &waiting->pCertInfo->SubjectPublicKeyInfo);
}

}  // namespace

Verdict CheckPublisher(const char *installed, const char *waiting)
{
    Verdict verdict = {kImageFits, waiting, "", 0};
    if (!installed) return verdict;
    Signature publisher, signer;
    DWORD error = 0;
    switch (Examine(installed, &publisher, &error)) {
    case kUnreadable:
        // Nothing there after all (a dangling link): nothing to compare with.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return verdict;
        return {kImageUnreadable, installed, "", error};
    case kUnsigned:
        // An installation that is not signed updates as it always has.
        return verdict;
    case kInvalid:
    case kUncheckable:
        // A signature is there, but names no publisher the updater can
        // trust: nothing may take the file's place, whoever signed it.
        return {kImageRefused, installed, kWhy[publisher.problem], 0};
    case kValid:
        break;
    }

    verdict.kind = kImageRefused;
    switch (Examine(waiting, &signer, &error)) {
    case kUnreadable:
        verdict.kind = kImageUnreadable;
        verdict.error = error;
        break;
    case kUnsigned: verdict.why = "not signed, unlike the installed file"; break;
    case kInvalid:
    case kUncheckable: verdict.why = kWhy[signer.problem]; break;
    case kValid:
        // The same publisher: the same subject, and the same key or a new one
        // a root this machine trusts for code signing vouches for.
        if (!SameSubject(publisher.signer, signer.signer))
            verdict.why = "signed by another publisher than the installed file";
        else if (signer.vouched || SameKey(publisher.signer, signer.signer)) verdict.kind = kImageFits;
        else verdict.why = "signed with a new key that no root trusted for code signing vouches for";
        CertFreeCertificateContext(signer.signer);
        break;
    }
    CertFreeCertificateContext(publisher.signer);
    return verdict;
}

#else

// ELF files carry no such signature, and a PE image is never run here: no
// file names a publisher, and every one fits.
Verdict CheckPublisher(const char *installed, const char *waiting)
{
    (void)installed;
    return {kImageFits, waiting, "", 0};
}

#endif
