// Who signed a program image, and whether a waiting image is signed by the
// publisher of the installed one. An update may come over plain HTTP or from
// a mirror: whoever can change the bytes on the way could otherwise put a
// program of their own in the installation, which the updater then starts.
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
// still signs updates. Comparing issuer and serial number (what
// CertCompareCertificate does) would let anyone copy them into a certificate
// of their own, since no root's signature over them is required.
//
// Windows' own functions do the work: WinVerifyTrust with the Authenticode
// action (no UI, no revocation check, nothing fetched from the network)
// checks the digest and the signature and keeps the signer's certificate in
// its state; crypt32 compares the certificates. Wine 8 does not check the
// signed message digest against the content it covers, which Windows does,
// so that is checked here as well.
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
    kUnsigned,    // no signature at all, or not a file that can carry one
    kValid,       // see above; `signer` holds the signer's certificate
    kInvalid,     // a signature that does not verify; `result` says why
    kUnreadable,  // the file could not be opened; GetLastError says why
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

// Whether the signer's message digest is the digest of the signed content
// (the image digest and what describes it), by the signer's digest
// algorithm. Windows checks this within WinVerifyTrust; Wine 8 verifies the
// signature over the signed attributes only, so that the image digest inside
// the content could be replaced by another file's.
bool ContentMatchesSignedDigest(HCRYPTMSG message, const CMSG_SIGNER_INFO *signer)
{
    const WCHAR *algorithm = DigestName(signer->HashAlgorithm.pszObjId);
    if (!algorithm) return false;
    DWORD size = 0;
    if (!CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, NULL, &size)) return false;
    BYTE *content = (BYTE *)malloc(size);
    if (!content) return false;
    bool matches = false;
    CRYPT_DATA_BLOB *signedDigest = NULL;
    if (CryptMsgGetParam(message, CMSG_CONTENT_PARAM, 0, content, &size)) {
        // The digest covers the content's value, not its tag and length.
        DWORD valueSize = 0;
        const BYTE *value = ElementValue(content, size, &valueSize);
        BYTE digest[64];
        DWORD digestSize = sizeof digest;
        signedDigest = value ? SignedDigest(message) : NULL;
        matches = signedDigest &&
                  CryptHashCertificate2(algorithm, 0, NULL, value, valueSize, digest, &digestSize) &&
                  digestSize == signedDigest->cbData && memcmp(digest, signedDigest->pbData, digestSize) == 0;
    }
    if (signedDigest) LocalFree(signedDigest);
    free(content);
    return matches;
}

// Verifies the signature of the file under `path`. A valid one leaves a
// copy of its signer's certificate in `signer`, for CertFreeCertificateContext.
Standing Examine(const char *path, PCCERT_CONTEXT *signer, LONG *result)
{
    *signer = NULL;
    *result = TRUST_E_NOSIGNATURE;
    WCHAR widePath[MAX_PATH];
    if (!MultiByteToWideChar(CP_ACP, 0, path, -1, widePath, MAX_PATH)) return kUnreadable;
    // Shared as the runtime's fopen shares (the image check's): whatever that
    // check could read, this one can too.
    HANDLE file = CreateFileW(widePath, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING,
                              FILE_ATTRIBUTE_NORMAL, NULL);
    if (file == INVALID_HANDLE_VALUE) return kUnreadable;

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
    *result = WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &trust);

    Standing standing = kInvalid;
    if (*result == TRUST_E_NOSIGNATURE || *result == TRUST_E_SUBJECT_FORM_UNKNOWN) {
        standing = kUnsigned;
    } else if (*result == ERROR_SUCCESS || ConcernsOnlyTheChain(*result)) {
        // The certificate whose key verified the signature: taken from the
        // verification itself, not looked up again, as a second certificate
        // with the same issuer and serial number could be found instead.
        CRYPT_PROVIDER_DATA *provider = WTHelperProvDataFromStateData(trust.hWVTStateData);
        CRYPT_PROVIDER_SGNR *signerData = provider ? WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0) : NULL;
        CRYPT_PROVIDER_CERT *certificate = signerData ? WTHelperGetProvCertFromChain(signerData, 0) : NULL;
        if (certificate && certificate->pCert && signerData->psSigner && provider->hMsg &&
            DigestAndSignatureHeld(provider)) {
            if (ContentMatchesSignedDigest(provider->hMsg, signerData->psSigner)) {
                *signer = CertDuplicateCertificateContext(certificate->pCert);
                standing = kValid;
            } else {
                *result = TRUST_E_BAD_DIGEST;
            }
        }
    }
    trust.dwStateAction = WTD_STATEACTION_CLOSE;
    WinVerifyTrust((HWND)INVALID_HANDLE_VALUE, &action, &trust);
    CloseHandle(file);
    return standing;
}

bool SamePublisher(PCCERT_CONTEXT installed, PCCERT_CONTEXT waiting)
{
    const DWORD encoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;
    return CertCompareCertificateName(encoding, &installed->pCertInfo->Subject, &waiting->pCertInfo->Subject) &&
           CertComparePublicKeyInfo(encoding, &installed->pCertInfo->SubjectPublicKeyInfo,
                                    &waiting->pCertInfo->SubjectPublicKeyInfo);
}

}  // namespace

ImageVerdict CheckPublisher(const char *installed, const char *waiting, const char **about, const char **why)
{
    *about = waiting;
    *why = "";
    if (!installed) return kImageFits;
    PCCERT_CONTEXT publisher, signer;
    LONG result;
    switch (Examine(installed, &publisher, &result)) {
    case kUnreadable: {
        DWORD error = GetLastError();
        // Nothing there after all (a dangling link): nothing to compare with.
        if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return kImageFits;
        *about = installed;
        SetLastError(error);
        return kImageUnreadable;
    }
    case kUnsigned:
    case kInvalid:
        // An installation that is not signed, or whose signature does not
        // verify, names no publisher: it updates as it always has.
        return kImageFits;
    case kValid:
        break;
    }

    ImageVerdict verdict = kImageRefused;
    switch (Examine(waiting, &signer, &result)) {
    case kUnreadable: verdict = kImageUnreadable; break;
    case kUnsigned: *why = "not signed, unlike the installed file"; break;
    case kInvalid:
        *why = result == TRUST_E_BAD_DIGEST ? "changed since it was signed" : "its signature does not verify";
        break;
    case kValid:
        if (SamePublisher(publisher, signer)) verdict = kImageFits;
        else *why = "signed by another publisher than the installed file";
        CertFreeCertificateContext(signer);
        break;
    }
    DWORD error = GetLastError();
    CertFreeCertificateContext(publisher);
    SetLastError(error);
    return verdict;
}

#else

// ELF files carry no such signature, and a PE image is never run here: no
// file names a publisher, and every one fits.
ImageVerdict CheckPublisher(const char *installed, const char *waiting, const char **about, const char **why)
{
    (void)installed;
    *about = waiting;
    *why = "";
    return kImageFits;
}

#endif
