// The Windows plug-in. Its exports arrive with the plug-in contract.
