# Extra CTest properties per test file (file name without extension), e.g. fixtures:
#   set(HDFSAGENT_TEST_PROPERTIES_KerberosConnectionTest FIXTURES_REQUIRED kdc)
set(HDFSAGENT_TEST_PROPERTIES_LocalclusterScriptsKdcTest FIXTURES_REQUIRED kdc)
set(HDFSAGENT_TEST_PROPERTIES_LocalclusterScriptsKdcShortTest FIXTURES_REQUIRED kdc_short)
set(HDFSAGENT_TEST_PROPERTIES_HadoopKerberosTicketsTest FIXTURES_REQUIRED kdc)
