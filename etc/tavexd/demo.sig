# Signatures of the demo scanning daemon (tools/tavexd) that `make run` starts.
# Format: tools/tavexd/README.md.

# The antivirus test string is never cured: the demo answers it with the
# access-denied page.
signature EICAR-Test-File,K
  eicar
  cure none

# A curable demo threat: its marker is cut out and the rest of the body passes
# with its new Content-Length.
signature Demo.Curable.Marker,K
  text TAVEX-DEMO-CURABLE-MARKER
  cure remove

# Reported as adware, which the default configuration also blocks.
signature Demo.Adware.Marker,A
  text TAVEX-DEMO-ADWARE-MARKER
  code 0x400000
