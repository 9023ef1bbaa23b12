/* A minimal DLL under the PKCS#11 module's file name: it only exports the
   entry point's name, so the tests can tell that it was found and loaded. */
__declspec(dllexport) int C_GetFunctionList(void *list)
{
    (void)list;
    return 0;
}
