// The payload that new --example writes: a proxy whose comments say what each element
// does, and placeholders for the image and a data file.
#ifndef EXAMPLE_PAYLOAD_H
#define EXAMPLE_PAYLOAD_H

static const char* const kExampleProxy = R"XML(<?xml version="1.0" encoding="UTF-8"?>
<!-- Example.proxy.xml: the description of one patch. Its folder (any name) goes to the
     bundle's extensions/; the image Example.dmg lies beside it, named like this file.
     Check it by making a bundle of it with kavex-bundle new (it lints the bundle). -->
<PayloadInfo>
  <!-- Required, each exactly once and not empty: the patch's own code (a GUID in braces,
       new for every patch), its version and its name. A name that ends in "_" and the
       version ("Photo Studio_5.0.1") is shown without that suffix. -->
  <InstallerProperties>
    <Property name="KavexCode">{00000000-0000-4000-8000-000000000001}</Property>
    <Property name="ProductVersion">5.0.1</Property>
    <Property name="ProductName">Example Studio Update 5.0.1</Property>
  </InstallerProperties>
  <!-- Required: the family and the product the patch belongs to. -->
  <Satisfies>
    <ProductInfo>
      <Family>Example Family</Family>
      <ProductName>Example Studio Update 5.0.1</ProductName>
    </ProductInfo>
  </Satisfies>
  <!-- The installed product this patch extends: its code as the installed-products store
       knows it. Without it the patch has no base (and nothing to install into). -->
  <Extends type="patch">
    <ParentProductInfo>
      <KavexCode>{00000000-0000-4000-8000-000000000000}</KavexCode>
      <ProductName>Example Studio</ProductName>
    </ParentProductInfo>
  </Extends>
  <!-- Codes of earlier patches this one replaces; one element each, as many as needed. -->
  <Upgrades>{00000000-0000-4000-8000-000000000002}</Upgrades>
  <!-- Bytes the installation takes on the product's volume: the disk check counts them. -->
  <InstallDestinationMetadata>
    <TotalSize>1048576</TotalSize>
  </InstallDestinationMetadata>
  <!-- Applications that must not run while the patch installs. The text is a Perl
       regular expression for the start of the executable's name ("Tool" also matches
       "Toolbox"; one that does not compile is matched as written). blocking="1" stops the
       installation while one runs (30); any other value only names it as a warning. A
       Process without a blocking attribute, or without a name, is ignored. -->
  <ConflictingProcesses>
    <OSX>
      <Process blocking="1">Example Studio</Process>
      <Process blocking="0">ExampleHelper</Process>
    </OSX>
  </ConflictingProcesses>
</PayloadInfo>
)XML";

static const char* const kExampleImage =
    "Replace this file with the patch's disk image, named like the proxy (Example.dmg).\n";
static const char* const kExampleData =
    "Optional: files NAME.data beside the proxy are copied beside the main setup with it.\n";

#endif
