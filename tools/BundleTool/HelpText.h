// The manual page of kavex-bundle, printed by --help.
#ifndef HELP_TEXT_H
#define HELP_TEXT_H

static const char* const kHelpText = R"HELP(KAVEX-BUNDLE(1)                  Kavex Update                  KAVEX-BUNDLE(1)

NAME
       kavex-bundle - make, check, sign and verify a patch bundle of Update.app

SYNOPSIS
       kavex-bundle keygen SECRET_FILE PUBLIC_FILE
       kavex-bundle sign SECRET_FILE BUNDLE_FOLDER [--series=NAME --version=N]
                    [--expires=YYYY-MM-DD | --valid-days=N] [--products=CODE,...]
                    [--issued=YYYY-MM-DD] [--rotation=STATEMENT_FILE]
       kavex-bundle cosign SECRET_FILE BUNDLE_FOLDER
       kavex-bundle rotate OLD_SECRET_FILE NEW_PUBLIC_FILE
       kavex-bundle verify PUBLIC_FILE BUNDLE_FOLDER
       kavex-bundle verify [--machine-root=ROOT] BUNDLE_FOLDER
       kavex-bundle lint BUNDLE_FOLDER
       kavex-bundle new --out=BUNDLE_FOLDER [--program=UPDATE_APP] [--pages=FOLDER] PAYLOAD_FOLDER...
       kavex-bundle new --example=PAYLOAD_FOLDER
       kavex-bundle --help | --version

DESCRIPTION
       A bundle folder holds Update.app, extensions/ (one folder per patch: its
       NAME.proxy.xml and NAME.dmg), resources/ (the wizard's pages and main.xml)
       and setup.xml. Update verifies a bundle before anything runs as root when
       the machine trusts at least one key (see FILES): the bundle must carry a
       manifest signed by enough trusted keys, match it exactly, and be within
       its release's time, version and products, or the run ends with code 35
       and launches nothing. Keys, manifest and signatures are text.

COMMANDS
       keygen SECRET_FILE PUBLIC_FILE
              Makes an Ed25519 key pair. The secret file is written with mode 0600;
              neither file may exist already. Keep the secret file off the machines
              that install; give the public file to their administrators.

       sign SECRET_FILE BUNDLE_FOLDER [options]
              Writes BUNDLE_FOLDER/bundle.manifest, one line per entry of the folder
              (type file, folder or link; mode; size; SHA-256 of a file; relative
              path; a link's target), sorted by path, and BUNDLE_FOLDER/bundle.sig,
              the detached signature of the manifest. The two files are not listed
              in the manifest. Sign last: any later change to the folder makes the
              bundle invalid. The secret file must be the file itself (not a link),
              yours, and readable by no one else (mode 0600); otherwise it is refused.

              With --series=NAME (1 to 64 of A-Z a-z 0-9 . _ -) and --version=N (a
              whole number that grows with each release of the series) the manifest
              is format 2 and also says when it was issued (now, or --issued), when
              it expires (--expires=YYYY-MM-DD, the end of that day in UTC, or
              --valid-days=N; 365 days when neither is given) and the base products
              its patches may be for (--products=CODE,...; by default the base
              products of the bundle's patches). A machine refuses a format 2 bundle
              before it is issued, after it expires, with a patch for another base
              product, or with a version lower than one it accepted from the same
              key and series. Without them the manifest is format 1 (no version,
              expiry or scope), as earlier versions wrote; the same content then
              always gives the same manifest.

              --rotation=STATEMENT_FILE adds the statements of kavex-bundle rotate to
              bundle.sig, so that machines that trust the old key learn the new one.

       cosign SECRET_FILE BUNDLE_FOLDER
              Adds a signature of the same manifest to bundle.sig, for machines whose
              policy requires more than one signer. The folder must still match the
              manifest; each key signs once.

       rotate OLD_SECRET_FILE NEW_PUBLIC_FILE
              Prints a statement, signed by the old key, that the new key replaces
              it. Save it, and sign the next release with the new key and
              --rotation=FILE: a machine that trusts the old key and meets the
              statement trusts the new key from then on, and the old one no longer.

       verify PUBLIC_FILE BUNDLE_FOLDER
       verify [--machine-root=ROOT] BUNDLE_FOLDER
              Checks the bundle as Update does: against the key in PUBLIC_FILE alone,
              or against the machine at ROOT (by default the machine root Update
              uses): its trusted and revoked keys, its policy and the versions it
              accepted. Changes nothing. Prints "valid: signed by key ID",
              "unsigned: no key is trusted", or "invalid: " and the reason: the first
              difference ("changed: PATH (content)", "missing: PATH", "extra: PATH"),
              a bad signature, or the rule that refused it; then a line "Bundle
              trust: rule RULE; ..." with the release, its signers and the threshold.

       lint BUNDLE_FOLDER
              Prints the bundle's own problems, one a line, as Update's check mode
              and report find them, as KIND: FILE:LINE: WHAT IS WRONG: proxies that
              do not load (the element that is missing, repeated or empty, or the
              parser's complaint), a proxy without its image, setup.xml naming a
              code no proxy has, conflicting processes that are ignored or whose
              patterns do not compile, a missing TotalSize, strings a language of
              main.xml lacks, string IDs main.html and main.js use that a language
              lacks, files over the size limit (they do not load). The kinds:
              proxyNotLoaded, imageMissing, totalSizeMissing, processIgnored,
              patternInvalid, extensionsUnreadable, setupNotLoaded,
              codeWithoutProxy, stringTableMissing, stringTableNotLoaded,
              stringMissing, pageStringMissing.

       new --out=BUNDLE_FOLDER PAYLOAD_FOLDER...
              Lays out a bundle in BUNDLE_FOLDER, made with its missing parents (it
              must be new or empty): the program (--program=UPDATE_APP), the wizard's
              pages main.html, main.css, main.js and main.xml (--pages=FOLDER), each
              PAYLOAD_FOLDER copied to extensions/ (each holds one NAME.proxy.xml and
              its NAME.dmg, and any NAME.data), and a setup.xml whose driver is the
              first payload's code and whose other payloads are critical. It then
              lints the bundle. Installed, the program is PREFIX/lib/kavex-bundle/
              Update.app and the pages PREFIX/share/kavex-bundle/resources/, beside
              PREFIX/bin/kavex-bundle; in a build tree, Update.app beside the tool
              and the project's resources/. A payload whose proxy does not load is
              reported as lint reports it, and nothing is made.

       new --example=PAYLOAD_FOLDER
              Writes a payload to start from: Example.proxy.xml, whose comments say
              what each element does, with placeholders Example.dmg and
              Example.data. The bundle format is described in docs/bundle-format.md
              of the project.

FILES
       BUNDLE_FOLDER/bundle.manifest, BUNDLE_FOLDER/bundle.sig
              The manifest and its signature.

       <machine root>/Library/Application Support/Kavex/RevokedKeys/*.pub
              Keys never trusted, whatever else lists them; the same rules.

       <machine root>/Library/Application Support/Kavex/TrustPolicy
              Root's file, lines threshold=N (distinct trusted signers needed) and
              signatures=required (no key trusted: every bundle is refused) or
              signatures=optional (the keys folder may go away: unsigned runs).

       <machine root>/var/lib/kavex/trust/state
              What the machine accepted: root's alone, written by runs that install.

       <machine root>/Library/Application Support/Kavex/TrustedKeys/*.pub
              The public keys Update trusts. Honoured only when root owns this
              folder and its keys and no one else can write to them, and root owns
              every folder above it and only root and root's group can write to
              them (a sticky folder of root's on the way, as /tmp, is fine). When the folder is
              there but others can change it, nothing is trusted and every bundle
              is refused. With no key in it, bundles run unsigned, as before;
              without it too, unless the machine has accepted a signed bundle
              (then the folder is missed, and every bundle refused) or the policy
              requires signatures.

EXIT STATUS
       0      Success: the keys are made, the bundle is signed, valid, lints clean;
              --help and --version.
       1      The bundle is invalid, or has problems (verify, lint, new, cosign).
       2      Bad command line.
       3      A file or folder could not be read or written (the reason follows),
              or a secret key is refused.

EXAMPLES
       kavex-bundle new --example=payloads/PhotoUpdate
       kavex-bundle keygen release.secret release.pub
       kavex-bundle new --out=out/bundle payloads/PhotoUpdate payloads/DrawUpdate
       kavex-bundle sign release.secret out/bundle --series=photo --version=7 --valid-days=90
       kavex-bundle cosign second.secret out/bundle
       kavex-bundle verify release.pub out/bundle
       kavex-bundle rotate release.secret next.pub > release-to-next.statement

       On a machine (as root):
       install -d -m 0755 "/Library/Application Support/Kavex/TrustedKeys"
       install -m 0644 release.pub "/Library/Application Support/Kavex/TrustedKeys/"
)HELP";

#endif
