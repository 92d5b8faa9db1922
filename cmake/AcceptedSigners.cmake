# The signers whose libraries the DLL's own signature check accepts, fixed at configure time:
# publisher names (the signing certificate's display name) and certificates of which the signer's
# chain must hold one, pinned by the SHA-256 of their encoding. The result is the generated header
# support/AcceptedSigners.h under the build tree.
#
# vrx_certificate_thumbprint(FILE OUT_THUMBPRINT OUT_SUBJECT): SHA-256 (lower-case hex) of the one
# X.509 certificate in FILE, DER or PEM, and its subject; stops the configure step with the reason
# when the file cannot be read or parsed, holds several certificates, or is not plain DER.
function(vrx_certificate_thumbprint file out_thumbprint out_subject)
    set(what "VRX_ACCEPTED_CERTIFICATES: ${file}")
    if(NOT EXISTS "${file}" OR IS_DIRECTORY "${file}")
        message(FATAL_ERROR "${what}: no such file")
    endif()
    # An unreadable file stops here with CMake's own message.
    file(READ "${file}" probe LIMIT 1)
    file(SIZE "${file}" size)
    if(size EQUAL 0)
        message(FATAL_ERROR "${what}: the file is empty")
    endif()
    file(STRINGS "${file}" pem_begins REGEX "-----BEGIN CERTIFICATE-----")
    list(LENGTH pem_begins pem_count)
    if(pem_count GREATER 1)
        message(FATAL_ERROR "${what}: holds ${pem_count} certificates; give one certificate per file")
    elseif(pem_count EQUAL 1)
        set(form PEM)
    else()
        set(form DER)
    endif()
    find_program(VRX_OPENSSL openssl)
    if(NOT VRX_OPENSSL)
        message(FATAL_ERROR "${what}: reading certificates needs the openssl program")
    endif()
    string(SHA256 name_hash "${file}")
    set(der "${CMAKE_BINARY_DIR}/accepted-signers/${name_hash}.der")
    file(MAKE_DIRECTORY "${CMAKE_BINARY_DIR}/accepted-signers")
    file(REMOVE "${der}")
    execute_process(
        COMMAND ${VRX_OPENSSL} x509 -inform ${form} -in "${file}" -outform DER -out "${der}"
        RESULT_VARIABLE failed ERROR_VARIABLE reason)
    if(failed OR NOT EXISTS "${der}")
        string(REGEX REPLACE "\n.*" "" reason "${reason}")
        message(FATAL_ERROR "${what}: not an X.509 certificate in ${form} form (${reason})")
    endif()
    file(SHA256 "${der}" thumbprint)
    # Windows pins the certificate's bytes as they are: a DER file must be exactly its encoding.
    if(form STREQUAL "DER")
        file(SHA256 "${file}" file_thumbprint)
        if(NOT file_thumbprint STREQUAL thumbprint)
            message(FATAL_ERROR "${what}: not plain DER (trailing bytes or another encoding)")
        endif()
    endif()
    execute_process(COMMAND ${VRX_OPENSSL} x509 -inform DER -in "${der}" -noout -subject
                            -nameopt RFC2253
                    OUTPUT_VARIABLE subject OUTPUT_STRIP_TRAILING_WHITESPACE)
    string(REGEX REPLACE "^subject=" "" subject "${subject}")
    set(${out_thumbprint} ${thumbprint} PARENT_SCOPE)
    set(${out_subject} "${subject}" PARENT_SCOPE)
endfunction()

# vrx_accepted_signers_header(OUT_HEADER PUBLISHERS CERTIFICATES): checks the two lists, writes the
# header and says in the configure output what the build accepts.
function(vrx_accepted_signers_header out_header publishers certificates)
    list(LENGTH publishers publisher_count)
    list(LENGTH certificates certificate_count)
    if(NOT publisher_count EQUAL 0 AND certificate_count EQUAL 0)
        message(FATAL_ERROR "VRX_ACCEPTED_PUBLISHERS is set but VRX_ACCEPTED_CERTIFICATES is "
                            "empty: a signer is accepted only when both match")
    endif()
    if(publisher_count EQUAL 0 AND NOT certificate_count EQUAL 0)
        message(FATAL_ERROR "VRX_ACCEPTED_CERTIFICATES is set but VRX_ACCEPTED_PUBLISHERS is "
                            "empty: a signer is accepted only when both match")
    endif()

    set(names "")
    foreach(publisher IN LISTS publishers)
        if(publisher STREQUAL "" OR publisher MATCHES "[\"\\\\]")
            message(FATAL_ERROR "VRX_ACCEPTED_PUBLISHERS: \"${publisher}\" is not a usable "
                                "publisher name (empty, or holding a quote or backslash)")
        endif()
        string(APPEND names "    L\"${publisher}\",\n")
    endforeach()

    set(digests "")
    set(described "")
    foreach(certificate IN LISTS certificates)
        get_filename_component(certificate "${certificate}" ABSOLUTE)
        vrx_certificate_thumbprint("${certificate}" thumbprint subject)
        string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1, " bytes "${thumbprint}")
        string(REGEX REPLACE ", $" "" bytes "${bytes}")
        string(APPEND digests "    {{${bytes}}},\n")
        list(APPEND described "${subject} (SHA-256 ${thumbprint})")
    endforeach()

    if(publisher_count EQUAL 0)
        message(STATUS "Accepted signers: none configured, so the DLL's own signature check "
                       "accepts no library (only the platform validation service can)")
    else()
        string(REPLACE ";" "\", \"" shown_names "${publishers}")
        string(REPLACE ";" "; " shown_certificates "${described}")
        message(STATUS "Accepted signers: publishers \"${shown_names}\" with a chain holding "
                       "${shown_certificates}")
    endif()

    set(header "${CMAKE_BINARY_DIR}/generated/support/AcceptedSigners.h")
    file(CONFIGURE OUTPUT "${header}" CONTENT [=[
// Generated at configure time from VRX_ACCEPTED_PUBLISHERS and VRX_ACCEPTED_CERTIFICATES; edit
// those cache variables, not this file.
#pragma once

#include <array>

namespace Tessel::AcceptedSigners {

// Display names of the accepted signers' certificates.
inline constexpr std::array<const wchar_t*, @publisher_count@> kPublisherNames = {{
@names@}};

// SHA-256 of the certificates of which a signer's chain must hold one.
inline constexpr std::array<std::array<unsigned char, 32>, @certificate_count@> kCertificates = {{
@digests@}};

}  // namespace Tessel::AcceptedSigners
]=] @ONLY)
    set(${out_header} "${header}" PARENT_SCOPE)
endfunction()
