-- What wixl cannot write from mdsdriver.wxs, run by make_msi.cmake with
-- msibuild, one statement a line (a line starting "--" is a comment).
--
-- The launch conditions' searches: NETWORKINF and USBINF hold each INF's
-- path when it is where the tool looks for it, on the Windows volume (the
-- drive of the system folder, as the tool takes it).
CREATE TABLE `DrLocator` (`Signature_` CHAR(72) NOT NULL, `Parent` CHAR(72), `Path` CHAR(255), `Depth` SHORT PRIMARY KEY `Signature_`, `Parent`, `Path`)
INSERT INTO `Signature` (`Signature`, `FileName`) VALUES ('NetworkInf', 'netaapl64.inf')
INSERT INTO `Signature` (`Signature`, `FileName`) VALUES ('UsbInf', 'usbaapl64.inf')
INSERT INTO `DrLocator` (`Signature_`, `Path`, `Depth`) VALUES ('NetworkInf', '[WindowsVolume]Program Files\Common Files\Apple\Mobile Device Support\NetDrivers', 0)
INSERT INTO `DrLocator` (`Signature_`, `Path`, `Depth`) VALUES ('UsbInf', '[WindowsVolume]Program Files\Common Files\Apple\Mobile Device Support\Drivers', 0)
INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('NETWORKINF', 'NetworkInf')
INSERT INTO `AppSearch` (`Property`, `Signature_`) VALUES ('USBINF', 'UsbInf')
INSERT INTO `InstallExecuteSequence` (`Action`, `Sequence`) VALUES ('AppSearch', 50)
INSERT INTO `InstallUISequence` (`Action`, `Sequence`) VALUES ('AppSearch', 50)
-- vezazez.cfg only with MDSLOG=1; a removal takes it whatever MDSLOG says
-- (a component whose condition is false is left where it is). Public
-- properties that a managed installation may take from the command line.
UPDATE `Component` SET `Condition` = 'MDSLOG = "1" OR REMOVE = "ALL"' WHERE `Component` = 'LogSwitch'
UPDATE `Property` SET `Value` = 'MDSLOG;NETWORKINF;USBINF;WIX_DOWNGRADE_DETECTED;WIX_UPGRADE_DETECTED' WHERE `Property` = 'SecureCustomProperties'
-- wixl writes rollback actions as plain deferred ones: DLL (1) + in script
-- (1024) + not impersonated (2048) + rollback (256).
UPDATE `CustomAction` SET `Type` = 3329 WHERE `Action` = 'MdsUndoInstall'
UPDATE `CustomAction` SET `Type` = 3329 WHERE `Action` = 'MdsUndoRemove'
-- And it marks the property-setting actions (51) "not impersonated" (2048),
-- which only a deferred action can be.
UPDATE `CustomAction` SET `Type` = 51 WHERE `Type` = 2099
