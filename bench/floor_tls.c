/* The floor of one update over TLS: the least a Windows client can do with Schannel for the
 * same exchange as quorvel.exe. A blocking socket to an IPv4 address, the handshake with the
 * program's credential and context flags (no SNI for an address, the chain checked by hand
 * after the handshake: CertGetCertificateChain for server authentication, then the SSL policy
 * with the host, an IP address matched against the certificate's own), the request in one
 * record, the reply read to the server's close_notify or the socket's end.
 * Plain C; bench_update.exe links it and times it beside the program's update. */
#define SECURITY_WIN32
#include <winsock2.h>
#include <windows.h>
#include <wincrypt.h>
#include <schannel.h>
#include <security.h>
#include <sspi.h>
#include <ws2tcpip.h>

#include <stdlib.h>
#include <string.h>

#include "bench/floor_tls.h"

#define FLOOR_REQUEST                                                                                  \
  (ISC_REQ_SEQUENCE_DETECT | ISC_REQ_REPLAY_DETECT | ISC_REQ_CONFIDENTIALITY | ISC_REQ_ALLOCATE_MEMORY | \
   ISC_REQ_STREAM | ISC_REQ_MANUAL_CRED_VALIDATION)

static CredHandle credentials;

int floor_tls_start(void) {
  SCHANNEL_CRED cred;
  TimeStamp expiry;
  memset(&cred, 0, sizeof cred);
  cred.dwVersion = SCHANNEL_CRED_VERSION;
  cred.dwFlags = SCH_CRED_MANUAL_CRED_VALIDATION | SCH_CRED_NO_DEFAULT_CREDS;
  return AcquireCredentialsHandleW(NULL, (SEC_WCHAR*)UNISP_NAME_W, SECPKG_CRED_OUTBOUND, NULL, &cred, NULL,
                                   NULL, &credentials, &expiry) == SEC_E_OK;
}

static int send_all(SOCKET s, const char* bytes, int size) {
  while (size > 0) {
    const int put = send(s, bytes, size, 0);
    if (put <= 0) return 0;
    bytes += put;
    size -= put;
  }
  return 1;
}

/* Sends what the context asks to send, and frees it. */
static int send_token(SOCKET s, SecBuffer* token) {
  int ok = 1;
  if (token->pvBuffer != NULL) {
    ok = token->cbBuffer == 0 || send_all(s, (const char*)token->pvBuffer, (int)token->cbBuffer);
    FreeContextBuffer(token->pvBuffer);
    token->pvBuffer = NULL;
  }
  return ok;
}

/* Whether the certificate names this IPv4 address among its IP addresses. */
static int names_address(PCCERT_CONTEXT certificate, const unsigned char address[4]) {
  const CERT_INFO* info = certificate->pCertInfo;
  PCERT_EXTENSION extension = CertFindExtension(szOID_SUBJECT_ALT_NAME2, info->cExtension, info->rgExtension);
  CERT_ALT_NAME_INFO* names = NULL;
  DWORD size = 0, i;
  int found = 0;
  if (extension == NULL ||
      !CryptDecodeObjectEx(X509_ASN_ENCODING, X509_ALTERNATE_NAME, extension->Value.pbData,
                           extension->Value.cbData, CRYPT_DECODE_ALLOC_FLAG, NULL, &names, &size)) {
    return 0;
  }
  for (i = 0; i < names->cAltEntry && !found; ++i) {
    const CERT_ALT_NAME_ENTRY* entry = &names->rgAltEntry[i];
    found = entry->dwAltNameChoice == CERT_ALT_NAME_IP_ADDRESS && entry->IPAddress.cbData == 4 &&
            memcmp(entry->IPAddress.pbData, address, 4) == 0;
  }
  LocalFree(names);
  return found;
}

/* The peer's chain leads to a trusted root and names the host. */
static int verified(CtxtHandle* context, const wchar_t* host, const unsigned char address[4]) {
  PCCERT_CONTEXT certificate = NULL;
  PCCERT_CHAIN_CONTEXT chain = NULL;
  char server_auth[] = szOID_PKIX_KP_SERVER_AUTH;
  char* usages[1];
  CERT_CHAIN_PARA parameters;
  SSL_EXTRA_CERT_CHAIN_POLICY_PARA extra;
  CERT_CHAIN_POLICY_PARA policy;
  CERT_CHAIN_POLICY_STATUS result;
  int ok = 0;
  if (QueryContextAttributesW(context, SECPKG_ATTR_REMOTE_CERT_CONTEXT, &certificate) != SEC_E_OK ||
      certificate == NULL) {
    return 0;
  }
  usages[0] = server_auth;
  memset(&parameters, 0, sizeof parameters);
  parameters.cbSize = sizeof parameters;
  parameters.RequestedUsage.dwType = USAGE_MATCH_TYPE_OR;
  parameters.RequestedUsage.Usage.cUsageIdentifier = 1;
  parameters.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
  if (CertGetCertificateChain(NULL, certificate, NULL, certificate->hCertStore, &parameters, 0, NULL, &chain)) {
    const DWORD trust = chain->TrustStatus.dwErrorStatus;
    memset(&extra, 0, sizeof extra);
    extra.cbSize = sizeof extra;
    extra.dwAuthType = AUTHTYPE_SERVER;
    extra.pwszServerName = (wchar_t*)host;
    memset(&policy, 0, sizeof policy);
    policy.cbSize = sizeof policy;
    policy.pvExtraPolicyPara = &extra;
    memset(&result, 0, sizeof result);
    result.cbSize = sizeof result;
    ok = CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_SSL, chain, &policy, &result) &&
         (trust & ~(DWORD)(CERT_TRUST_REVOCATION_STATUS_UNKNOWN | CERT_TRUST_IS_OFFLINE_REVOCATION)) == 0 &&
         (result.dwError == 0 || ((HRESULT)result.dwError == CERT_E_CN_NO_MATCH && names_address(certificate, address)));
    CertFreeCertificateChain(chain);
  }
  CertFreeCertificateContext(certificate);
  return ok;
}

int floor_tls_exchange(unsigned short port, const char* request, int request_length, const char* expected) {
  static const unsigned char loopback[4] = {127, 0, 0, 1};
  static char in[64 * 1024];
  static char reply[16 * 1024];
  int have = 0, got = 0, ok = 0, need_more = 1, context_made = 0;
  CtxtHandle context;
  SecPkgContext_StreamSizes sizes;
  ULONG attributes = 0;
  SECURITY_STATUS status;
  SecBuffer token = {0, SECBUFFER_TOKEN, NULL};
  SecBufferDesc token_description = {SECBUFFER_VERSION, 1, &token};
  struct sockaddr_in server;
  const SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return 0;
  memset(&server, 0, sizeof server);
  server.sin_family = AF_INET;
  server.sin_port = htons(port);
  memcpy(&server.sin_addr, loopback, 4);
  if (connect(s, (struct sockaddr*)&server, sizeof server) != 0) goto done;

  /* The handshake: the hello, then each flight of the server's answered as it completes. */
  status = InitializeSecurityContextW(&credentials, NULL, NULL, FLOOR_REQUEST, 0, 0, NULL, 0, &context,
                                      &token_description, &attributes, NULL);
  if (status != SEC_I_CONTINUE_NEEDED || !send_token(s, &token)) goto done;
  context_made = 1;
  while (status == SEC_I_CONTINUE_NEEDED || status == SEC_E_INCOMPLETE_MESSAGE) {
    SecBuffer input[2] = {{0, SECBUFFER_TOKEN, NULL}, {0, SECBUFFER_EMPTY, NULL}};
    SecBufferDesc input_description = {SECBUFFER_VERSION, 2, input};
    if (need_more) {
      const int count = recv(s, in + have, (int)sizeof in - have, 0);
      if (count <= 0) goto done;
      have += count;
    }
    input[0].cbBuffer = (ULONG)have;
    input[0].pvBuffer = in;
    status = InitializeSecurityContextW(&credentials, &context, NULL, FLOOR_REQUEST, 0, 0, &input_description,
                                        0, &context, &token_description, &attributes, NULL);
    if (status == SEC_E_INCOMPLETE_MESSAGE) {
      need_more = 1;
      continue;
    }
    if ((status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) || !send_token(s, &token)) goto done;
    if (input[1].BufferType == SECBUFFER_EXTRA && input[1].cbBuffer > 0) {
      memmove(in, in + have - input[1].cbBuffer, input[1].cbBuffer);
      have = (int)input[1].cbBuffer;
      need_more = 0;
    } else {
      have = 0;
      need_more = 1;
    }
  }
  if (status != SEC_E_OK || !verified(&context, L"127.0.0.1", loopback) ||
      QueryContextAttributesW(&context, SECPKG_ATTR_STREAM_SIZES, &sizes) != SEC_E_OK) {
    goto done;
  }

  /* The request, in one record. */
  {
    char* record = malloc(sizes.cbHeader + (ULONG)request_length + sizes.cbTrailer);
    SecBuffer buffers[4] = {{sizes.cbHeader, SECBUFFER_STREAM_HEADER, record},
                            {(ULONG)request_length, SECBUFFER_DATA, record + sizes.cbHeader},
                            {sizes.cbTrailer, SECBUFFER_STREAM_TRAILER, record + sizes.cbHeader + request_length},
                            {0, SECBUFFER_EMPTY, NULL}};
    SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
    int sent;
    if (record == NULL) goto done;
    memcpy(record + sizes.cbHeader, request, (size_t)request_length);
    sent = EncryptMessage(&context, 0, &description, 0) == SEC_E_OK &&
           send_all(s, record, (int)(buffers[0].cbBuffer + buffers[1].cbBuffer + buffers[2].cbBuffer));
    free(record);
    if (!sent) goto done;
  }

  /* The reply, to the close. */
  for (;;) {
    int closed = 0;
    while (have > 0) {
      SecBuffer buffers[4] = {{(ULONG)have, SECBUFFER_DATA, in},
                              {0, SECBUFFER_EMPTY, NULL},
                              {0, SECBUFFER_EMPTY, NULL},
                              {0, SECBUFFER_EMPTY, NULL}};
      SecBufferDesc description = {SECBUFFER_VERSION, 4, buffers};
      int i, rest = 0;
      status = DecryptMessage(&context, &description, 0, NULL);
      if (status == SEC_E_INCOMPLETE_MESSAGE) break;
      if (status != SEC_E_OK && status != SEC_I_CONTEXT_EXPIRED && status != SEC_I_RENEGOTIATE) goto done;
      for (i = 0; i < 4; ++i) {
        if (buffers[i].BufferType == SECBUFFER_DATA && buffers[i].pvBuffer != NULL) {
          if (got + (int)buffers[i].cbBuffer >= (int)sizeof reply) goto done;
          memcpy(reply + got, buffers[i].pvBuffer, buffers[i].cbBuffer);
          got += (int)buffers[i].cbBuffer;
        } else if (buffers[i].BufferType == SECBUFFER_EXTRA && buffers[i].cbBuffer > 0) {
          rest = (int)buffers[i].cbBuffer;
        }
      }
      memmove(in, in + have - rest, (size_t)rest);
      have = rest;
      if (status == SEC_I_CONTEXT_EXPIRED) {
        closed = 1;
        break;
      }
      if (status == SEC_I_RENEGOTIATE && have > 0) {
        /* A post-handshake message: the context takes it, and may answer. */
        SecBuffer input[2] = {{(ULONG)have, SECBUFFER_TOKEN, in}, {0, SECBUFFER_EMPTY, NULL}};
        SecBufferDesc input_description = {SECBUFFER_VERSION, 2, input};
        status = InitializeSecurityContextW(&credentials, &context, NULL, FLOOR_REQUEST, 0, 0,
                                            &input_description, 0, &context, &token_description, &attributes,
                                            NULL);
        if (status == SEC_E_INCOMPLETE_MESSAGE) break;
        if ((status != SEC_E_OK && status != SEC_I_CONTINUE_NEEDED) || !send_token(s, &token)) goto done;
        rest = input[1].BufferType == SECBUFFER_EXTRA ? (int)input[1].cbBuffer : 0;
        memmove(in, in + have - rest, (size_t)rest);
        have = rest;
      }
    }
    if (closed) break;
    {
      const int count = recv(s, in + have, (int)sizeof in - have, 0);
      if (count < 0) goto done;
      if (count == 0) break;
      have += count;
    }
  }
  reply[got] = '\0';
  ok = strstr(reply, expected) != NULL;

done:
  if (context_made) DeleteSecurityContext(&context);
  closesocket(s);
  return ok;
}
