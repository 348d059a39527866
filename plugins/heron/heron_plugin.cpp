// The Linux and VMware ESXi plug-in. Its exports arrive with the plug-in contract.
