// The manual page of kavex-bundle, printed by --help.
#ifndef HELP_TEXT_H
#define HELP_TEXT_H

static const char* const kHelpText = R"HELP(KAVEX-BUNDLE(1)                  Kavex Update                  KAVEX-BUNDLE(1)

NAME
       kavex-bundle - make, check, sign and verify a patch bundle of Update.app

SYNOPSIS
       kavex-bundle keygen SECRET_FILE PUBLIC_FILE
       kavex-bundle sign SECRET_FILE BUNDLE_FOLDER
       kavex-bundle verify PUBLIC_FILE BUNDLE_FOLDER
       kavex-bundle lint BUNDLE_FOLDER
       kavex-bundle new --out=BUNDLE_FOLDER [--program=UPDATE_APP] [--pages=FOLDER] PAYLOAD_FOLDER...
       kavex-bundle --help

DESCRIPTION
       A bundle folder holds Update.app, extensions/ (one folder per patch: its
       NAME.proxy.xml and NAME.dmg), resources/ (the wizard's pages and main.xml)
       and setup.xml. Update verifies a bundle before anything runs as root when
       the machine trusts at least one key (see FILES): the bundle must carry a
       manifest signed by a trusted key and match it exactly, or the run ends
       with code 35 and launches nothing. Keys, manifest and signature are text.

COMMANDS
       keygen SECRET_FILE PUBLIC_FILE
              Makes an Ed25519 key pair. The secret file is written with mode 0600;
              neither file may exist already. Keep the secret file off the machines
              that install; give the public file to their administrators.

       sign SECRET_FILE BUNDLE_FOLDER
              Writes BUNDLE_FOLDER/bundle.manifest, one line per entry of the folder
              (type file, folder or link; mode; size; SHA-256 of a file; relative
              path; a link's target), sorted by path, and BUNDLE_FOLDER/bundle.sig,
              the detached signature of the manifest. The two files are not listed
              in the manifest. Signing the same content twice gives the same manifest.
              Sign last: any later change to the folder makes the bundle invalid.

       verify PUBLIC_FILE BUNDLE_FOLDER
              Checks the signature with the key in PUBLIC_FILE and the folder against
              the manifest, as Update does. Prints "valid: signed by key ID", or
              "invalid: " and the first difference: "changed: PATH (content)",
              "missing: PATH", "extra: PATH", or a bad signature.

       lint BUNDLE_FOLDER
              Prints the bundle's own problems, one a line, as Update's check mode
              and report find them: proxies that do not load (with file and line),
              a proxy without its image, setup.xml naming a code no proxy has,
              conflicting-process patterns that do not compile, a missing TotalSize,
              strings a language of main.xml lacks, string IDs main.html and main.js
              use that a language lacks, files over the size limit (they do not load).

       new --out=BUNDLE_FOLDER PAYLOAD_FOLDER...
              Lays out a bundle in BUNDLE_FOLDER (which must not exist or be empty):
              the program (--program, by default Update.app beside this tool in a
              build tree, else the kavex-bundle package's /usr/lib/kavex-bundle/Update.app),
              the wizard's pages main.html, main.css, main.js and main.xml (--pages,
              by default the project's resources/, or the package's
              /usr/share/kavex-bundle/resources), each PAYLOAD_FOLDER copied to
              extensions/ (each holds one NAME.proxy.xml and its NAME.dmg), and a
              setup.xml whose driver is the first payload's code and whose other
              payloads are critical. It then lints the bundle.

FILES
       BUNDLE_FOLDER/bundle.manifest, BUNDLE_FOLDER/bundle.sig
              The manifest and its signature.

       <machine root>/Library/Application Support/Kavex/TrustedKeys/*.pub
              The public keys Update trusts. Honoured only when root owns this
              folder and its keys and no one else can write to them, and root owns
              every folder above it and only root and root's group can write to
              them (a sticky folder of root's on the way, as /tmp, is fine). When the folder is
              there but others can change it, nothing is trusted and every bundle
              is refused. Without the folder, or with no key in it, bundles run
              unsigned, as before.

EXIT STATUS
       0      Success: the keys are made, the bundle is signed, valid, lints clean.
       1      The bundle is invalid, or has problems (verify, lint, new).
       2      Bad command line.
       3      A file could not be read or written.

EXAMPLES
       kavex-bundle keygen release.secret release.pub
       kavex-bundle new --out=out/bundle payloads/PhotoUpdate payloads/DrawUpdate
       kavex-bundle sign release.secret out/bundle
       kavex-bundle verify release.pub out/bundle

       On a machine (as root):
       install -d -m 0755 "/Library/Application Support/Kavex/TrustedKeys"
       install -m 0644 release.pub "/Library/Application Support/Kavex/TrustedKeys/"
)HELP";

#endif
