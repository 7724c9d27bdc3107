/*
 * Mbed TLS configuration of the agent: a TLS 1.2 client and nothing more.
 *
 * Kept: ECDHE key exchange with X25519 or P-256, server keys signed with RSA or ECDSA, AES-GCM
 * and ChaCha20-Poly1305 records, SHA-256 and SHA-384, X.509 chains verified against PEM CA
 * bundles, entropy from the operating system.
 * Left out: the server side, renegotiation, compression, every version below TLS 1.2, CBC
 * suites, DTLS, session tickets, file-system helpers and PEM decoding (the agent reads and
 * decodes the CA bundle itself), error strings and debug output.
 *
 * Two additions serve verification only, not the key exchange:
 *  - P-384: many certificate authorities sign with ECDSA over P-384, among them the
 *    intermediates that issue most ECDSA server certificates today;
 *  - SHA-1: long-lived root certificates carry SHA-1 self-signatures; without SHA-1 their
 *    encoding does not parse and they drop out of the trust store. The verification profile
 *    still refuses SHA-1 in every signature it checks.
 */
#ifndef USAGE_AGENT_MBEDTLS_CONFIG_H
#define USAGE_AGENT_MBEDTLS_CONFIG_H

/* System support */
#define MBEDTLS_HAVE_ASM
#define MBEDTLS_HAVE_TIME
#define MBEDTLS_HAVE_TIME_DATE
#define MBEDTLS_DEPRECATED_REMOVED

/* Cryptographic features */
#define MBEDTLS_AES_FEWER_TABLES
#define MBEDTLS_ECP_DP_SECP256R1_ENABLED
#define MBEDTLS_ECP_DP_SECP384R1_ENABLED
#define MBEDTLS_ECP_DP_CURVE25519_ENABLED
#define MBEDTLS_ECP_NIST_OPTIM
#define MBEDTLS_PKCS1_V15

/* TLS: a 1.2 client with ECDHE only */
#define MBEDTLS_KEY_EXCHANGE_ECDHE_RSA_ENABLED
#define MBEDTLS_KEY_EXCHANGE_ECDHE_ECDSA_ENABLED
#define MBEDTLS_SSL_PROTO_TLS1_2
#define MBEDTLS_SSL_SERVER_NAME_INDICATION
#define MBEDTLS_SSL_EXTENDED_MASTER_SECRET
#define MBEDTLS_X509_CHECK_KEY_USAGE
#define MBEDTLS_X509_CHECK_EXTENDED_KEY_USAGE
/* The agent hands the verifier only the authorities that can be the issuer. */
#define MBEDTLS_X509_TRUSTED_CERTIFICATE_CALLBACK

/* Modules */
#define MBEDTLS_AES_C
#define MBEDTLS_ASN1_PARSE_C
#define MBEDTLS_ASN1_WRITE_C
#define MBEDTLS_BIGNUM_C
#define MBEDTLS_CHACHA20_C
#define MBEDTLS_CHACHAPOLY_C
#define MBEDTLS_CIPHER_C
#define MBEDTLS_CTR_DRBG_C
#define MBEDTLS_ECDH_C
#define MBEDTLS_ECDSA_C
#define MBEDTLS_ECP_C
#define MBEDTLS_ENTROPY_C
#define MBEDTLS_GCM_C
#define MBEDTLS_MD_C
#define MBEDTLS_OID_C
#define MBEDTLS_PK_C
#define MBEDTLS_PK_PARSE_C
#define MBEDTLS_POLY1305_C
#define MBEDTLS_RSA_C
#define MBEDTLS_SHA1_C
#define MBEDTLS_SHA256_C
#define MBEDTLS_SHA512_C
#define MBEDTLS_SSL_CLI_C
#define MBEDTLS_SSL_TLS_C
#define MBEDTLS_X509_CRT_PARSE_C
#define MBEDTLS_X509_USE_C

/* Sizes */
/* RSA keys of up to 4096 bits, as some root certificates have. */
#define MBEDTLS_MPI_MAX_SIZE 512
/* A server may send records of the full size; the agent's own requests are small. */
#define MBEDTLS_SSL_IN_CONTENT_LEN 16384
#define MBEDTLS_SSL_OUT_CONTENT_LEN 4096

/* Offered suites in order of preference: AES-128-GCM is the cheapest for a short exchange */
#define MBEDTLS_SSL_CIPHERSUITES                               \
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_128_GCM_SHA256,           \
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_128_GCM_SHA256,             \
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_AES_256_GCM_SHA384,           \
    MBEDTLS_TLS_ECDHE_RSA_WITH_AES_256_GCM_SHA384,             \
    MBEDTLS_TLS_ECDHE_ECDSA_WITH_CHACHA20_POLY1305_SHA256,     \
    MBEDTLS_TLS_ECDHE_RSA_WITH_CHACHA20_POLY1305_SHA256

#include "mbedtls/check_config.h"

#endif
