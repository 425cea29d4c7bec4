% The storage type of the test's Simulink enumerations.
function name = zekGetEnumBaseType(enumName)
  switch enumName
    case 'Gear'
      name = 'int32';
    case 'Flag'
      name = 'logical';
    otherwise
      error('unknown enumeration %s', enumName);
  end
end
